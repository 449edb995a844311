#pragma once

#include <cstdint>

#include <QList>
#include <QObject>
#include <QString>

#include <json/json.h>

// Type-checked member reads of the job records: a missing member, a non-object value or a
// member of the wrong type reads as 0, false or empty; numbers out of range read as 0.
namespace QDtaJson
{
    qint64 toInt64(const Json::Value &object, const char *key);
    int32_t toInt(const Json::Value &object, const char *key);
    uint32_t toUInt(const Json::Value &object, const char *key);
    double toDouble(const Json::Value &object, const char *key);
    bool toBool(const Json::Value &object, const char *key);
    QString toString(const Json::Value &object, const char *key);
    // The member if it is an object, else null.
    Json::Value toObject(const Json::Value &object, const char *key);
}

// Settings chosen for one batch of files (mode, course, quality options).
class QDtaConfig : public QObject
{
    Q_OBJECT

public:
    explicit QDtaConfig(QObject *parent = nullptr);
    QDtaConfig(const QDtaConfig &other);
    QDtaConfig(QDtaConfig &&other) noexcept;
    QDtaConfig &operator=(const QDtaConfig &other);
    QDtaConfig &operator=(QDtaConfig &&other) noexcept;
    ~QDtaConfig() override;

    void setEncryptType(uint8_t type);
    uint8_t encryptType() const;
    void setAutoConvert(bool on);
    bool autoConvert() const;
    void setCourseId(const QString &id);
    QString courseId() const;
    void setCourseName(const QString &name);
    QString courseName() const;
    void setCodecQuality(const QString &quality);
    QString codecQuality() const;
    void setWebQuality(const QString &quality);
    QString webQuality() const;

    // One entry of a quality list of the settings dialog: what it shows and the text it gives.
    struct QualityChoice
    {
        QString label;
        QString value;
    };
    // Web mode: the first entry is "no transcode", the others give "web_quality".
    static const QList<QualityChoice> &webQualityChoices();
    // The re-encode mode's three lists; "codec_quality" is made of them by transcodeOptions.
    static const QList<QualityChoice> &videoBitrateChoices();
    static const QList<QualityChoice> &audioBitrateChoices();
    static const QList<QualityChoice> &resolutionChoices();
    static QString transcodeOptions(const QString &video, const QString &audio, const QString &resolution);
    // Whether a quality text is one the settings dialog gives (or the empty default): only
    // such texts reach ffmpeg's arguments and the encryption program's output chain.
    static bool isValidWebQuality(const QString &quality);
    static bool isValidCodecQuality(const QString &quality);

    Json::Value toJson() const;
    // Lenient: missing or wrong-typed members read as 0, false or empty.
    void fromJson(const Json::Value &value);

private:
    void swapFields(QDtaConfig &other) noexcept;

    uint8_t encrypt_type;
    bool autoConvert_;
    QString course_id;
    QString bitRate;
    QString course_name;
    QString codec_quality;
    QString web_quality;
};
