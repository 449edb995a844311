#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include <QObject>
#include <QString>

#include <json/json.h>

#include "qdtaconfig.h"
#include "qsourcefile.h"

// Media facts read by a probe.
struct MediaFacts
{
    int32_t width = 0;
    int32_t height = 0;
    int32_t duration = 0; // whole seconds
    uint32_t codec = 0;   // four-character code, first character in the low byte
    int32_t videoStreams = 0;
    int32_t audioStreams = 0;
};

// One video job: the source file, its probed media facts, its settings and its output key.
// Paths use "/" and folders end with "/".
class QDtaVideo : public QObject
{
    Q_OBJECT

public:
    // H.264 as a four-character code ("h264").
    static constexpr uint32_t CodecH264 = 875967080u;

    explicit QDtaVideo(QObject *parent = nullptr);
    // Restores a job from its JSON (lenient reading).
    explicit QDtaVideo(const Json::Value &value, QObject *parent = nullptr);
    // A new job; throws UException when the course id is not a decimal number.
    QDtaVideo(qint64 id, const QString &path, const QDtaConfig &config);
    ~QDtaVideo() override;

    qint64 id() const;
    const QDtaConfig &config() const;
    QString fileName() const;
    QString filePath() const;
    double fileSize() const;
    int32_t videoWidth() const;
    int32_t videoHeight() const;
    int32_t totalTime() const;
    uint32_t codec() const;
    QString videoKey() const;
    QString savePath() const;
    // filePath() + fileName().
    QString sourcePath() const;
    // The source as it was when the job was added, or restored from a file that did not note it.
    SourceIdentity sourceIdentity() const;

    Json::Value toJson() const;
    void fromJson(const Json::Value &value);
    // Whether a restored job is safe to run: digits-only course id, plain names, absolute folders.
    bool isValid() const;
    // Why a job restored from `data` (its stored JSON) must not run, as a text for its row;
    // empty when it may. Its mode must be the JSON integer 4, 7 or 8, and its video key and
    // save path what its teacher (the one signed in), course, id, file name and folder give,
    // and its quality texts, when present, strings the settings dialog gives.
    QString restoreRefusal(const Json::Value &data) const;

    // Fills width, height, duration and codec: MediaInfo first, libvlc when MediaInfo has not
    // answered within 5 seconds (and for the rest of the process). Throws UException
    // "无法获取原视频相关信息！" when the fallback fails.
    void probeMedia();
    // Why the probed file can't be worked on in its mode, as a text for its row; empty when it
    // can. A file with neither video nor audio (text, empty, damaged) is refused in every mode,
    // one without video in the modes that re-encode or slice video (8 and 4), one that is
    // not whole in every mode.
    QString mediaRefusal() const;
    // The same for the file at `path` with these facts in mode `mode`; a file that is not
    // whole (QMediaCheck::wholeRefusal) is refused in every mode.
    static QString mediaRefusalOf(const QString &path, bool hasVideo, bool hasAudio, int mode,
                                  const std::atomic<bool> *abort = nullptr);

    // The MediaInfo reader: fills `facts` from the file at `path` (zeros when unreadable).
    static void readMediaInfo(const QString &path, MediaFacts &facts);
    // Replaces the MediaInfo reader (tests); an empty function restores the real one. The
    // reader set is asked again even after an earlier one timed out.
    using MediaInfoReader = std::function<void(const QString &, MediaFacts &)>;
    static void setMediaInfoReader(MediaInfoReader reader);
    // True once a MediaInfo reader timed out in this process.
    static bool mediaInfoHung();

    // A course id that may go into file names: one or more decimal digits.
    static bool isValidCourseId(const QString &courseId);
    // The video key "%1_%2_%3_%4" for these inputs, suffix ".vep" or ".m3u8" (mode 4).
    static QString makeVideoKey(int teacherId, const QString &courseId, qint64 id, const QString &fileName,
                                uint8_t encryptType);

private:
    QString makeSaveName() const;
    QString makeSavePath() const;

    qint64 m_id;
    QDtaConfig m_config;
    QString m_fileName;
    QString m_filePath;
    double m_fileSize;
    int32_t m_videoWidth;
    int32_t m_videoHeight;
    int32_t m_totalTime;
    uint32_t m_codec;
    // Streams the probe of this process found (not stored: a restored job goes by its facts).
    int32_t m_videoStreams;
    int32_t m_audioStreams;
    QString m_videoKey;
    QString m_savePath;
    SourceIdentity m_source;
    // Guards the probed facts, written by the probe on a worker thread.
    mutable std::mutex m_factsMutex;
};
