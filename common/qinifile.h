#pragma once

#include <memory>
#include <mutex>

#include <QObject>
#include <QString>
#include <QVariant>

class QSettings;

// Typed access to one INI file; the stored key is "section/key". Before a file is set the
// getters return their default and setValue() changes nothing.
class QIniFile : public QObject
{
    Q_OBJECT

public:
    QIniFile();
    explicit QIniFile(const QString &path);
    ~QIniFile() override;

    // Opens `path` only when no file is set yet; a later call changes nothing.
    void setFile(const QString &path);
    // Opens `path` whatever was set before, none when it is empty (a test's own file).
    void reopen(const QString &path);
    QString fileName() const;
    // True when the file exists but could not be read as INI.
    bool isDamaged() const;
    // Writes pending changes now (every setValue() already does).
    void sync();

    void setValue(const QString &section, const QString &key, const QVariant &value);
    int getInt(const QString &section, const QString &key, int def = 0) const;
    QString getString(const QString &section, const QString &key, const QString &def = QString()) const;
    bool getBool(const QString &section, const QString &key, bool def = false) const;
    float getFloat(const QString &section, const QString &key, float def = 0.0f) const;
    qint64 getInt64(const QString &section, const QString &key, qint64 def = 0) const;

private:
    QVariant value(const QString &section, const QString &key) const;

    mutable std::mutex m_mutex;
    std::unique_ptr<QSettings> m_settings;
};
