#include "qdtavideo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#ifndef UNICODE
#define UNICODE
#endif
#include <MediaInfoDLL/MediaInfoDLL.h>

#include "logger.h"
#include "qfilework.h"
#include "qmediacheck.h"
#include "quser.h"
#include "qvlcinstance.h"
#include "uexception.h"

namespace
{
    constexpr auto kMediaInfoTimeout = std::chrono::seconds(5);

    std::atomic<bool> s_mediaInfoHung { false };
    std::mutex s_readerMutex;
    QDtaVideo::MediaInfoReader s_reader;

    // What one reader thread shares with its caller; the caller copies the facts only when
    // the reader finished in time, so a late reader never touches the video.
    struct ProbeState
    {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        MediaFacts facts;
    };

    QDtaVideo::MediaInfoReader currentReader()
    {
        std::lock_guard<std::mutex> lock(s_readerMutex);
        if (s_reader)
            return s_reader;
        return &QDtaVideo::readMediaInfo;
    }

    // Leading decimal digits ("3000.000" gives 3000); 0 when there are none.
    qint64 leadingNumber(const std::wstring &text)
    {
        qint64 value = 0;
        size_t i = 0;
        while (i < text.size() && text[i] == L' ')
            ++i;
        bool any = false;
        for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
            any = true;
            if (value > 900000000000000000LL)
                return 0;
            value = value * 10 + (text[i] - L'0');
        }
        return any ? value : 0;
    }

    QString folderOf(const QString &path)
    {
        QString folder = QFileInfo(path).absolutePath();
        if (!folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
        return folder;
    }
}

QDtaVideo::QDtaVideo(QObject *parent)
    : QObject(parent)
    , m_id(0)
    , m_fileSize(0.0)
    , m_videoWidth(0)
    , m_videoHeight(0)
    , m_totalTime(0)
    , m_codec(0)
    , m_videoStreams(0)
    , m_audioStreams(0)
{
}

QDtaVideo::QDtaVideo(const Json::Value &value, QObject *parent)
    : QDtaVideo(parent)
{
    fromJson(value);
}

QDtaVideo::QDtaVideo(qint64 id, const QString &path, const QDtaConfig &config)
    : QDtaVideo(static_cast<QObject *>(nullptr))
{
    if (!isValidCourseId(config.courseId()))
        throw UException("QDtaVideo::isValidCourseId(courseId)", QStringLiteral("课程编号无效！"), __FILE__, __LINE__);
    m_id = id;
    m_config = config;
    const QFileInfo info(path);
    m_fileName = info.fileName();
    m_filePath = folderOf(path);
    m_fileSize = static_cast<double>(info.size()) / 1024.0 / 1024.0;
    m_videoKey = makeSaveName();
    m_savePath = makeSavePath();
    m_source = SourceIdentity::of(sourcePath());
}

QDtaVideo::~QDtaVideo() = default;

qint64 QDtaVideo::id() const { return m_id; }
const QDtaConfig &QDtaVideo::config() const { return m_config; }
QString QDtaVideo::fileName() const { return m_fileName; }
QString QDtaVideo::filePath() const { return m_filePath; }
double QDtaVideo::fileSize() const { return m_fileSize; }
QString QDtaVideo::videoKey() const { return m_videoKey; }
QString QDtaVideo::savePath() const { return m_savePath; }
QString QDtaVideo::sourcePath() const { return m_filePath + m_fileName; }
SourceIdentity QDtaVideo::sourceIdentity() const { return m_source; }

int32_t QDtaVideo::videoWidth() const
{
    std::lock_guard<std::mutex> lock(m_factsMutex);
    return m_videoWidth;
}

int32_t QDtaVideo::videoHeight() const
{
    std::lock_guard<std::mutex> lock(m_factsMutex);
    return m_videoHeight;
}

int32_t QDtaVideo::totalTime() const
{
    std::lock_guard<std::mutex> lock(m_factsMutex);
    return m_totalTime;
}

uint32_t QDtaVideo::codec() const
{
    std::lock_guard<std::mutex> lock(m_factsMutex);
    return m_codec;
}

Json::Value QDtaVideo::toJson() const
{
    Json::Value value(Json::objectValue);
    value["id"] = static_cast<Json::Int64>(m_id);
    value["config"] = m_config.toJson();
    value["file_name"] = m_fileName.toStdString();
    value["file_path"] = m_filePath.toStdString();
    value["file_size"] = m_fileSize;
    value["video_key"] = m_videoKey.toStdString();
    value["save_path"] = m_savePath.toStdString();
    if (m_source.known)
        value["source_id"] = m_source.toJson();
    std::lock_guard<std::mutex> lock(m_factsMutex);
    value["video_width"] = m_videoWidth;
    value["video_height"] = m_videoHeight;
    value["total_time"] = m_totalTime;
    value["codec"] = m_codec;
    return value;
}

void QDtaVideo::fromJson(const Json::Value &value)
{
    m_id = QDtaJson::toInt64(value, "id");
    m_config.fromJson(QDtaJson::toObject(value, "config"));
    m_fileName = QDtaJson::toString(value, "file_name");
    m_filePath = QDtaJson::toString(value, "file_path");
    m_fileSize = QDtaJson::toDouble(value, "file_size");
    m_videoKey = QDtaJson::toString(value, "video_key");
    m_savePath = QDtaJson::toString(value, "save_path");
    // Work stored before the source was noted: what is there now, unless another user's link.
    m_source = value.isObject() && value.isMember("source_id") ? SourceIdentity::fromJson(value["source_id"])
                                                               : SourceIdentity::of(sourcePath(), false);
    std::lock_guard<std::mutex> lock(m_factsMutex);
    m_videoWidth = QDtaJson::toInt(value, "video_width");
    m_videoHeight = QDtaJson::toInt(value, "video_height");
    m_totalTime = QDtaJson::toInt(value, "total_time");
    m_codec = QDtaJson::toUInt(value, "codec");
}

bool QDtaVideo::isValid() const
{
    auto plainName = [](const QString &name) {
        return !name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".")
            && name != QLatin1String("..") && !name.contains(QChar(0));
    };
    auto folder = [](const QString &path) {
        return path.startsWith(QLatin1Char('/')) && path.endsWith(QLatin1Char('/'))
            && !path.split(QLatin1Char('/')).contains(QStringLiteral(".."));
    };
    return m_id > 0 && isValidCourseId(m_config.courseId()) && plainName(m_fileName) && plainName(m_videoKey)
        && folder(m_filePath) && folder(m_savePath);
}

QString QDtaVideo::restoreRefusal(const Json::Value &data) const
{
    const Json::Value config = QDtaJson::toObject(data, "config");
    const Json::Value mode = config.isObject() && config.isMember("encrypt_type") ? config["encrypt_type"] : Json::Value();
    const bool integer = mode.type() == Json::intValue || mode.type() == Json::uintValue;
    const Json::LargestInt value = integer ? mode.asLargestInt() : 0;
    if (!integer || (value != 4 && value != 7 && value != 8))
        return QStringLiteral("任务的加密模式无效，已拒绝执行！");
    // The quality texts become ffmpeg arguments and a part of the encryption program's output
    // chain: only what the settings dialog gives (or nothing) is taken.
    const auto qualityMember = [&config](const char *key, bool (*valid)(const QString &)) {
        if (!config.isMember(key))
            return true;
        const Json::Value &member = config[key];
        return member.isString() && valid(QString::fromStdString(member.asString()));
    };
    if (!qualityMember("web_quality", &QDtaConfig::isValidWebQuality)
        || !qualityMember("codec_quality", &QDtaConfig::isValidCodecQuality))
        return QStringLiteral("任务的画质设置无效，已拒绝执行！");
    if (!isValid())
        return QStringLiteral("任务数据无效，已拒绝执行！");
    const QString key = makeVideoKey(QUser::instance()->teacherId(), m_config.courseId(), m_id, m_fileName,
                                     m_config.encryptType());
    if (m_videoKey != key)
        return QStringLiteral("任务的输出文件名与任务不符，已拒绝执行！");
    if (m_savePath != m_filePath)
        return QStringLiteral("任务的保存位置与源文件目录不符，已拒绝执行！");
    return QString();
}

bool QDtaVideo::isValidCourseId(const QString &courseId)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,18}$"));
    return digits.match(courseId).hasMatch();
}

QString QDtaVideo::makeVideoKey(int teacherId, const QString &courseId, qint64 id, const QString &fileName,
                                uint8_t encryptType)
{
    const QString extension = encryptType == 4 ? QStringLiteral(".m3u8") : QStringLiteral(".vep");
    QString name = fileName;
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString suffix = dot >= 0 ? name.mid(dot + 1) : QString();
    if (suffix.isEmpty())
        name += extension;
    else
        name.replace(QLatin1Char('.') + suffix, extension, Qt::CaseSensitive);
    // One pass over the pattern, so that a "%" in the name stays as it is.
    return QStringLiteral("%1_%2_%3_%4").arg(QString::number(teacherId), courseId, QString::number(id), name);
}

QString QDtaVideo::makeSaveName() const
{
    return makeVideoKey(QUser::instance()->teacherId(), m_config.courseId(), m_id, m_fileName, m_config.encryptType());
}

QString QDtaVideo::makeSavePath() const
{
    QDir dir(m_filePath);
    if (!dir.exists())
        QDir().mkdir(m_filePath);
    return m_filePath;
}

void QDtaVideo::probeMedia()
{
    // The file the job was added with, through one checked descriptor that stays open while a
    // reader may still use it. Where nothing can be read, the probe finds nothing and the
    // media check says so.
    auto source = std::make_shared<QSourceFile>();
    try {
        source->open(sourcePath(), m_source);
    } catch (const UException &e) {
        if (e.qMessage() == QSourceFile::changedMessage())
            throw;
        source.reset();
    }
    bool answered = false;
    MediaFacts facts;
    {
        std::lock_guard<std::mutex> lock(m_factsMutex);
        facts.codec = m_codec;
    }
    // Nothing is read by name: what took the name may be a FIFO or another user's file.
    if (!source) {
        std::lock_guard<std::mutex> lock(m_factsMutex);
        m_videoWidth = 0;
        m_videoHeight = 0;
        m_totalTime = 0;
        m_videoStreams = 0;
        m_audioStreams = 0;
        return;
    }
    const QString path = source->procPath();

    if (!s_mediaInfoHung.load()) {
        auto state = std::make_shared<ProbeState>();
        state->facts = facts;
        const MediaInfoReader reader = currentReader();
        std::thread([state, path, reader, source]() {
            MediaFacts local = state->facts;
            try {
                reader(path, local);
            } catch (...) {
                local = MediaFacts();
            }
            std::lock_guard<std::mutex> lock(state->mutex);
            state->facts = local;
            state->finished = true;
            state->done.notify_all();
        }).detach();
        QFileWork::crashPoint("probe");

        std::unique_lock<std::mutex> lock(state->mutex);
        answered = state->done.wait_for(lock, kMediaInfoTimeout, [&state]() { return state->finished; });
        if (answered)
            facts = state->facts;
    }

    if (answered) {
        std::lock_guard<std::mutex> lock(m_factsMutex);
        m_videoWidth = facts.width;
        m_videoHeight = facts.height;
        m_totalTime = facts.duration;
        m_codec = facts.codec;
        m_videoStreams = facts.videoStreams;
        m_audioStreams = facts.audioStreams;
        return;
    }

    if (!s_mediaInfoHung.exchange(true))
        LOG_WARNING(L"MediaInfo did not answer in time, probing with libvlc from now on");
    MediaProbeInfo info;
    try {
        QVlcInstance::instance()->getMediaInfo(path, info);
    } catch (const UException &e) {
        LOG_EXCEPTION(e);
        throw UException("false", QStringLiteral("无法获取原视频相关信息！"), __FILE__, __LINE__);
    } catch (const std::exception &e) {
        LOG_ERROR(L"libvlc probe: %s", e.what());
        throw UException("false", QStringLiteral("无法获取原视频相关信息！"), __FILE__, __LINE__);
    }
    std::lock_guard<std::mutex> lock(m_factsMutex);
    m_codec = info.codec;
    m_totalTime = info.duration;
    m_videoWidth = static_cast<int32_t>(info.width);
    m_videoHeight = static_cast<int32_t>(info.height);
    m_videoStreams = info.videoTracks;
    m_audioStreams = info.audioTracks;
}

QString QDtaVideo::mediaRefusal() const
{
    bool hasVideo = false;
    bool hasAudio = false;
    {
        std::lock_guard<std::mutex> lock(m_factsMutex);
        hasVideo = m_videoStreams > 0 || (m_videoWidth > 0 && m_videoHeight > 0);
        hasAudio = m_audioStreams > 0 || m_totalTime > 0;
    }
    return mediaRefusalOf(sourcePath(), hasVideo, hasAudio, m_config.encryptType());
}

QString QDtaVideo::mediaRefusalOf(const QString &path, bool hasVideo, bool hasAudio, int mode,
                                  const std::atomic<bool> *abort)
{
    const QFileInfo source(path);
    if (!source.isFile())
        return QStringLiteral("源文件不存在，无法加密！");
    if (source.size() == 0)
        return QStringLiteral("文件是空的，不是视频文件，无法加密！");
    if (!hasVideo && !hasAudio)
        return QStringLiteral("文件中没有可识别的视频或音频（不是视频文件或文件已损坏），无法加密！");
    if (!hasVideo && mode == 8)
        return QStringLiteral("文件中没有视频画面，高强度重编码加密只能用于视频文件！");
    if (!hasVideo && mode == 4)
        return QStringLiteral("文件中没有视频画面，Web加密模式只能用于视频文件！");
    // Only whole files: a copy or download cut short would give a short output.
    return QMediaCheck::wholeRefusal(path, abort);
}

void QDtaVideo::readMediaInfo(const QString &path, MediaFacts &facts)
{
    using namespace MediaInfoDLL;
    static std::once_flag loaded;
    std::call_once(loaded, []() { MediaInfoDLL_Load(); });

    MediaInfo mi;
    mi.Open(path.toStdWString());
    facts.width = static_cast<int32_t>(leadingNumber(mi.Get(Stream_Video, 0, L"Width")));
    facts.height = static_cast<int32_t>(leadingNumber(mi.Get(Stream_Video, 0, L"Height")));
    qint64 duration = leadingNumber(mi.Get(Stream_Video, 0, L"Duration")) / 1000;
    if (duration == 0)
        duration = leadingNumber(mi.Get(Stream_Audio, 0, L"Duration")) / 1000;
    facts.duration = static_cast<int32_t>(duration);
    facts.videoStreams = static_cast<int32_t>(mi.Count_Get(Stream_Video));
    facts.audioStreams = static_cast<int32_t>(mi.Count_Get(Stream_Audio));
    // Some builds leave "Codec" empty where "Format" names it.
    String codec = mi.Get(Stream_Video, 0, L"Codec");
    if (codec.empty())
        codec = mi.Get(Stream_Video, 0, L"Format");
    if (QString::fromStdWString(codec).compare(QLatin1String("AVC"), Qt::CaseInsensitive) == 0)
        facts.codec = CodecH264;
    mi.Close();
}

void QDtaVideo::setMediaInfoReader(MediaInfoReader reader)
{
    std::lock_guard<std::mutex> lock(s_readerMutex);
    s_reader = std::move(reader);
    s_mediaInfoHung = false;
}

bool QDtaVideo::mediaInfoHung()
{
    return s_mediaInfoHung.load();
}
