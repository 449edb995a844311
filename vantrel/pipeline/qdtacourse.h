#pragma once

#include <cstdint>

#include <QObject>
#include <QString>

// One course of the signed-in teacher, as the web API lists it.
class QDtaCourse : public QObject
{
    Q_OBJECT

public:
    explicit QDtaCourse(QObject *parent = nullptr);
    QDtaCourse(const QDtaCourse &other);
    QDtaCourse(QDtaCourse &&other) noexcept;
    QDtaCourse &operator=(const QDtaCourse &other);
    QDtaCourse &operator=(QDtaCourse &&other) noexcept;
    ~QDtaCourse() override;

    void setId(const QString &id);
    QString id() const;
    void setName(const QString &name);
    QString name() const;
    void setCtime(int32_t ctime);
    int32_t ctime() const;
    void setCategory(const QString &category);
    QString category() const;

private:
    void swapFields(QDtaCourse &other) noexcept;

    QString m_id;
    QString m_name;
    int32_t m_ctime;
    QString m_category;
};
