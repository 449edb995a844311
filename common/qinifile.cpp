#include "qinifile.h"

#include <QSettings>

QIniFile::QIniFile() = default;

QIniFile::QIniFile(const QString &path)
{
    setFile(path);
}

QIniFile::~QIniFile() = default;

void QIniFile::setFile(const QString &path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_settings)
        return;
    m_settings.reset(new QSettings(path, QSettings::IniFormat));
}

void QIniFile::reopen(const QString &path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_settings.reset(path.isEmpty() ? nullptr : new QSettings(path, QSettings::IniFormat));
}

QString QIniFile::fileName() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_settings ? m_settings->fileName() : QString();
}

bool QIniFile::isDamaged() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_settings && m_settings->status() == QSettings::FormatError;
}

void QIniFile::sync()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_settings)
        m_settings->sync();
}

void QIniFile::setValue(const QString &section, const QString &key, const QVariant &value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_settings)
        return;
    m_settings->setValue(section + QLatin1Char('/') + key, value);
    m_settings->sync();
}

QVariant QIniFile::value(const QString &section, const QString &key) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_settings)
        return QVariant();
    return m_settings->value(section + QLatin1Char('/') + key);
}

int QIniFile::getInt(const QString &section, const QString &key, int def) const
{
    bool ok = false;
    const int v = value(section, key).toInt(&ok);
    return ok ? v : def;
}

QString QIniFile::getString(const QString &section, const QString &key, const QString &def) const
{
    const QVariant v = value(section, key);
    return v.isValid() ? v.toString() : def;
}

bool QIniFile::getBool(const QString &section, const QString &key, bool def) const
{
    const QVariant v = value(section, key);
    return v.isValid() ? v.toBool() : def;
}

float QIniFile::getFloat(const QString &section, const QString &key, float def) const
{
    bool ok = false;
    const float v = value(section, key).toFloat(&ok);
    return ok ? v : def;
}

qint64 QIniFile::getInt64(const QString &section, const QString &key, qint64 def) const
{
    bool ok = false;
    const qint64 v = value(section, key).toLongLong(&ok);
    return ok ? v : def;
}
