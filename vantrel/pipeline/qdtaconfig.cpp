#include "qdtaconfig.h"

#include <cmath>
#include <limits>
#include <utility>

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
