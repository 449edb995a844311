#include "qdtaconfig.h"

#include <cmath>
#include <limits>
#include <utility>

#include <QSet>
#include <QStringList>

#include "qvalue.h"

namespace
{
    const Json::Value &member(const Json::Value &object, const char *key)
    {
        return jsonMember(object, QString::fromLatin1(key));
    }

    // Whole numbers only: a real with a fraction or out of range reads as 0.
    qint64 wholeNumber(const Json::Value &v)
    {
        if (v.isInt64())
            return v.asInt64();
        if (v.isUInt64())
            return 0; // above the signed range
        if (v.isDouble()) {
            const double d = v.asDouble();
            if (std::isfinite(d) && std::trunc(d) == d && d >= -9.2e18 && d <= 9.2e18)
                return static_cast<qint64>(d);
        }
        return 0;
    }
}

namespace QDtaJson
{
    qint64 toInt64(const Json::Value &object, const char *key)
    {
        return wholeNumber(member(object, key));
    }

    int32_t toInt(const Json::Value &object, const char *key)
    {
        const qint64 v = wholeNumber(member(object, key));
        if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
            return 0;
        return static_cast<int32_t>(v);
    }

    uint32_t toUInt(const Json::Value &object, const char *key)
    {
        const qint64 v = wholeNumber(member(object, key));
        if (v < 0 || v > std::numeric_limits<uint32_t>::max())
            return 0;
        return static_cast<uint32_t>(v);
    }

    double toDouble(const Json::Value &object, const char *key)
    {
        const Json::Value &v = member(object, key);
        return v.isNumeric() && !v.isBool() ? v.asDouble() : 0.0;
    }

    bool toBool(const Json::Value &object, const char *key)
    {
        const Json::Value &v = member(object, key);
        return v.isBool() ? v.asBool() : false;
    }

    QString toString(const Json::Value &object, const char *key)
    {
        const Json::Value &v = member(object, key);
        return v.isString() ? QString::fromStdString(v.asString()) : QString();
    }

    Json::Value toObject(const Json::Value &object, const char *key)
    {
        const Json::Value &v = member(object, key);
        return v.isObject() ? v : Json::Value();
    }
}

const QList<QDtaConfig::QualityChoice> &QDtaConfig::webQualityChoices()
{
    static const QList<QualityChoice> choices {
        {QStringLiteral("无需转码"), QString()}, {QStringLiteral("原始"), QString()},
        {QStringLiteral("较低 256kbps"), QStringLiteral("-b:v 256k")}, {QStringLiteral("中等 512kbps"), QStringLiteral("-b:v 512k")},
        {QStringLiteral("良好 768kbps"), QStringLiteral("-b:v 768k")}, {QStringLiteral("优秀 1024kbps"), QStringLiteral("-b:v 1024k")}};
    return choices;
}

const QList<QDtaConfig::QualityChoice> &QDtaConfig::videoBitrateChoices()
{
    static const QList<QualityChoice> choices {
        {QStringLiteral("原始"), QString()}, {QStringLiteral("较低 256kbps"), QStringLiteral("vb=256")},
        {QStringLiteral("中等 512kbps"), QStringLiteral("vb=512")}, {QStringLiteral("良好 768kbps"), QStringLiteral("vb=768")},
        {QStringLiteral("优秀 1024kbps"), QStringLiteral("vb=1024")}};
    return choices;
}

const QList<QDtaConfig::QualityChoice> &QDtaConfig::audioBitrateChoices()
{
    static const QList<QualityChoice> choices {
        {QStringLiteral("原始"), QString()}, {QStringLiteral("较低 32kbps"), QStringLiteral("ab=32")},
        {QStringLiteral("中等 64kbps"), QStringLiteral("ab=64")}, {QStringLiteral("良好 128kbps"), QStringLiteral("ab=128")},
        {QStringLiteral("优秀 256kbps"), QStringLiteral("ab=256")}};
    return choices;
}

const QList<QDtaConfig::QualityChoice> &QDtaConfig::resolutionChoices()
{
    static const QList<QualityChoice> choices {
        {QStringLiteral("原始"), QString()},
        {QStringLiteral("4:3 720*480"), QStringLiteral("scale=1.33,width=720,height=480")},
        {QStringLiteral("16:9 720*405"), QStringLiteral("scale=1.75,width=720,height=405")},
        {QStringLiteral("4:3 960*720"), QStringLiteral("scale=1.33,width=960,height=720")},
        {QStringLiteral("16:9 960*540"), QStringLiteral("scale=1.75,width=960,height=540")},
        {QStringLiteral("4:3 1024*768"), QStringLiteral("scale=1.33,width=1024,height=768")},
        {QStringLiteral("16:9 1024*576"), QStringLiteral("scale=1.75,width=1024,height=576")},
        {QStringLiteral("4:3 1280*960"), QStringLiteral("scale=1.33,width=1280,height=960")},
        {QStringLiteral("16:9 1280*720"), QStringLiteral("scale=1.75,width=1280,height=720")}};
    return choices;
}

QString QDtaConfig::transcodeOptions(const QString &video, const QString &audio, const QString &resolution)
{
    QStringList parts {QStringLiteral("samplerate=48000")};
    for (const QString &part : {video, audio, resolution})
        if (!part.isEmpty())
            parts << part;
    return parts.join(QLatin1Char(','));
}

bool QDtaConfig::isValidWebQuality(const QString &quality)
{
    for (const QualityChoice &choice : webQualityChoices())
        if (choice.value == quality)
            return true;
    return false;
}

bool QDtaConfig::isValidCodecQuality(const QString &quality)
{
    static const QSet<QString> valid = []() {
        QSet<QString> all {QString()};
        for (const QualityChoice &video : videoBitrateChoices())
            for (const QualityChoice &audio : audioBitrateChoices())
                for (const QualityChoice &resolution : resolutionChoices())
                    all.insert(transcodeOptions(video.value, audio.value, resolution.value));
        return all;
    }();
    return valid.contains(quality);
}

QDtaConfig::QDtaConfig(QObject *parent)
    : QObject(parent)
    , encrypt_type(4)
    , autoConvert_(false)
{
}

QDtaConfig::QDtaConfig(const QDtaConfig &other)
    : QObject(nullptr)
    , encrypt_type(other.encrypt_type)
    , autoConvert_(other.autoConvert_)
    , course_id(other.course_id)
    , bitRate(other.bitRate)
    , course_name(other.course_name)
    , codec_quality(other.codec_quality)
    , web_quality(other.web_quality)
{
}

QDtaConfig::QDtaConfig(QDtaConfig &&other) noexcept
    : QObject(nullptr)
    , encrypt_type(4)
    , autoConvert_(false)
{
    swapFields(other);
}

QDtaConfig &QDtaConfig::operator=(const QDtaConfig &other)
{
    if (this != &other) {
        QDtaConfig copy(other);
        swapFields(copy);
    }
    return *this;
}

QDtaConfig &QDtaConfig::operator=(QDtaConfig &&other) noexcept
{
    if (this != &other)
        swapFields(other);
    return *this;
}

QDtaConfig::~QDtaConfig() = default;

void QDtaConfig::swapFields(QDtaConfig &other) noexcept
{
    std::swap(encrypt_type, other.encrypt_type);
    std::swap(autoConvert_, other.autoConvert_);
    course_id.swap(other.course_id);
    bitRate.swap(other.bitRate);
    course_name.swap(other.course_name);
    codec_quality.swap(other.codec_quality);
    web_quality.swap(other.web_quality);
}

void QDtaConfig::setEncryptType(uint8_t type) { encrypt_type = type; }
uint8_t QDtaConfig::encryptType() const { return encrypt_type; }
void QDtaConfig::setAutoConvert(bool on) { autoConvert_ = on; }
bool QDtaConfig::autoConvert() const { return autoConvert_; }
void QDtaConfig::setCourseId(const QString &id) { course_id = id; }
QString QDtaConfig::courseId() const { return course_id; }
void QDtaConfig::setCourseName(const QString &name) { course_name = name; }
QString QDtaConfig::courseName() const { return course_name; }
void QDtaConfig::setCodecQuality(const QString &quality) { codec_quality = quality; }
QString QDtaConfig::codecQuality() const { return codec_quality; }
void QDtaConfig::setWebQuality(const QString &quality) { web_quality = quality; }
QString QDtaConfig::webQuality() const { return web_quality; }

Json::Value QDtaConfig::toJson() const
{
    Json::Value value(Json::objectValue);
    value["encrypt_type"] = static_cast<int>(encrypt_type);
    value["autoConvert"] = autoConvert_;
    value["course_id"] = course_id.toStdString();
    value["bitRate"] = bitRate.toStdString();
    value["course_name"] = course_name.toStdString();
    value["codec_quality"] = codec_quality.toStdString();
    value["web_quality"] = web_quality.toStdString();
    return value;
}

void QDtaConfig::fromJson(const Json::Value &value)
{
    encrypt_type = static_cast<uint8_t>(QDtaJson::toInt64(value, "encrypt_type") & 0xFF);
    autoConvert_ = QDtaJson::toBool(value, "autoConvert");
    course_id = QDtaJson::toString(value, "course_id");
    bitRate = QDtaJson::toString(value, "bitRate");
    course_name = QDtaJson::toString(value, "course_name");
    codec_quality = QDtaJson::toString(value, "codec_quality");
    web_quality = QDtaJson::toString(value, "web_quality");
}
