#include "qdtavideo.h"

#include <cmath>
#include <limits>

#include <QJsonValue>

namespace
{
    QString stringOf(const QJsonObject &object, const char *key)
    {
        const QJsonValue v = object.value(QLatin1String(key));
        return v.isString() ? v.toString() : QString();
    }

    int intOf(const QJsonObject &object, const char *key)
    {
        const QJsonValue v = object.value(QLatin1String(key));
        if (!v.isDouble())
            return 0;
        const double d = v.toDouble();
        if (!std::isfinite(d) || std::floor(d) != d || d < std::numeric_limits<int>::min()
            || d > std::numeric_limits<int>::max())
            return 0;
        return static_cast<int>(d);
    }
}

QDtaVideo::QDtaVideo(QObject *parent)
    : QObject(parent)
{
}

QDtaVideo::QDtaVideo(const QDtaVideo &other)
    : QObject(nullptr)
{
    *this = other;
}

QDtaVideo &QDtaVideo::operator=(const QDtaVideo &other)
{
    m_encryptType = other.m_encryptType;
    m_courseId = other.m_courseId;
    m_videoKey = other.m_videoKey;
    m_filePath = other.m_filePath;
    m_format = other.m_format;
    m_fileName = other.m_fileName;
    m_totalTime = other.m_totalTime;
    m_videoWidth = other.m_videoWidth;
    m_videoHeight = other.m_videoHeight;
    m_savePath = other.m_savePath;
    m_randNumber = other.m_randNumber;
    return *this;
}

QDtaVideo QDtaVideo::fromJson(const QJsonObject &object)
{
    QDtaVideo v;
    v.m_encryptType = intOf(object, "encrypt_type");
    v.m_courseId = stringOf(object, "course_id");
    v.m_videoKey = stringOf(object, "video_key");
    v.m_filePath = stringOf(object, "file_path");
    v.m_format = stringOf(object, "format");
    v.m_fileName = stringOf(object, "file_name");
    v.m_totalTime = intOf(object, "total_time");
    v.m_videoWidth = intOf(object, "video_width");
    v.m_videoHeight = intOf(object, "video_height");
    v.m_savePath = stringOf(object, "save_path");
    v.m_randNumber = intOf(object, "randEnc");
    return v;
}

QDtaVideo QDtaVideo::sample()
{
    QDtaVideo v;
    v.m_encryptType = 5;
    v.m_courseId = QStringLiteral("10");
    v.m_videoKey = QStringLiteral("1_10_1_sample.vep");
    v.m_filePath = QStringLiteral("/tmp/");
    v.m_format = QStringLiteral("samplerate=48000,vb=768,ab=128");
    v.m_fileName = QStringLiteral("sample.mp4");
    v.m_totalTime = 200;
    v.m_videoWidth = 720;
    v.m_videoHeight = 480;
    v.m_savePath = QStringLiteral("/tmp/");
    v.m_randNumber = 0;
    return v;
}

bool QDtaVideo::isPlainName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

bool QDtaVideo::isFolderPath(const QString &path)
{
    return path.startsWith(QLatin1Char('/')) && path.endsWith(QLatin1Char('/')) && !path.contains(QChar(0));
}

bool QDtaVideo::isKnownType(int type)
{
    switch (type)
    {
    case 0:
    case 1:
    case 3:
    case 5:
    case 6:
    case 7:
    case 8:
        return true;
    default:
        return false;
    }
}

int QDtaVideo::encryptType() const { return m_encryptType; }
QString QDtaVideo::courseId() const { return m_courseId; }
QString QDtaVideo::videoKey() const { return m_videoKey; }
QString QDtaVideo::filePath() const { return m_filePath; }
QString QDtaVideo::format() const { return m_format; }
QString QDtaVideo::fileName() const { return m_fileName; }
int QDtaVideo::totalTime() const { return m_totalTime; }
int QDtaVideo::videoWidth() const { return m_videoWidth; }
int QDtaVideo::videoHeight() const { return m_videoHeight; }
QString QDtaVideo::savePath() const { return m_savePath; }
int QDtaVideo::randNumber() const { return m_randNumber; }
