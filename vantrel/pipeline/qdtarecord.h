#pragma once

#include <cstdint>
#include <memory>

#include <QMetaType>
#include <QObject>
#include <QString>

#include <json/json.h>

// One finished job of the history.
class QDtaRecord : public QObject
{
    Q_OBJECT

public:
    explicit QDtaRecord(QObject *parent = nullptr);
    // Lenient: missing or wrong-typed members read as 0 or empty.
    explicit QDtaRecord(const Json::Value &value, QObject *parent = nullptr);
    QDtaRecord(const QDtaRecord &other);
    QDtaRecord(QDtaRecord &&other) noexcept;
    QDtaRecord &operator=(const QDtaRecord &other);
    QDtaRecord &operator=(QDtaRecord &&other) noexcept;
    ~QDtaRecord() override;

    void setId(qint64 id);
    qint64 id() const;
    void setFileName(const QString &name);
    QString fileName() const;
    void setFilePath(const QString &path);
    QString filePath() const;
    void setTime(int32_t time);
    int32_t time() const;
    void setFileSize(double size);
    double fileSize() const;
    void setFileType(uint32_t type);
    uint32_t fileType() const;

    Json::Value toJson() const;

private:
    void swapFields(QDtaRecord &other) noexcept;

    qint64 m_id;
    QString m_fileName;
    QString m_filePath;
    int32_t m_time;
    double m_fileSize;
    uint32_t m_fileType;
};

using record_ptr = std::shared_ptr<QDtaRecord>;
Q_DECLARE_METATYPE(record_ptr)
