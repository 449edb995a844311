#include "qmediacheck.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QStringList>

extern "C"
{
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

#include "logger.h"
#include "qstagecheck.h"
#include "qtutils.h"

namespace
{
    constexpr int kBoundMs = 5000;
    // How far before the declared end the data is looked for.
    constexpr int64_t kTailSpan = 3 * AV_TIME_BASE;
    constexpr int kTailPackets = 20000;
    constexpr int kMaxBoxes = 1000000;
    // Video packets (and packets of any stream) read to judge the times of a copy.
    constexpr int kTimingFrames = 120;
    constexpr int kTimingPackets = 5000;
    constexpr int kTimingMinFrames = 3;
    // How far the frame durations may add up beside the time they span.
    constexpr double kTimingTolerance = 0.15;

    struct Deadline
    {
        QElapsedTimer timer;
        qint64 limitMs = kBoundMs;
        const std::atomic<bool> *abort = nullptr;

        explicit Deadline(const std::atomic<bool> *stop)
            : limitMs(QMediaCheck::boundMs())
            , abort(stop)
        {
            timer.start();
        }

        bool expired() const
        {
            return (abort && abort->load()) || timer.elapsed() > limitMs;
        }
    };

    int interrupted(void *opaque)
    {
        return static_cast<const Deadline *>(opaque)->expired() ? 1 : 0;
    }

    // The size of a regular file, looked at without blocking (a FIFO never holds the caller);
    // -1 for anything else.
    qint64 regularFileSize(const QString &path, int *openFd = nullptr)
    {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return -1;
        struct stat st {};
        const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        if (regular && openFd)
            *openFd = fd;
        else
            ::close(fd);
        return regular ? qint64(st.st_size) : -1;
    }

    // One opened input, closed with the object.
    class Input
    {
    public:
        Input(const QString &path, Deadline &deadline, bool streamInfo)
        {
            if (path.isEmpty() || regularFileSize(path) < 0)
                return;
            AVFormatContext *context = avformat_alloc_context();
            if (!context)
                return;
            context->interrupt_callback.callback = &interrupted;
            context->interrupt_callback.opaque = &deadline;
            // The file protocol by name: a ":" in the path never selects another protocol.
            const QByteArray url = QByteArrayLiteral("file:") + QFile::encodeName(path);
            if (avformat_open_input(&context, url.constData(), nullptr, nullptr) < 0)
                return; // the context is freed by the failed open
            m_context = context;
            if (streamInfo && avformat_find_stream_info(m_context, nullptr) < 0)
                LOG_DEBUG(L"no stream facts for %s", path);
        }

        ~Input()
        {
            if (m_context)
                avformat_close_input(&m_context);
        }

        Input(const Input &) = delete;
        Input &operator=(const Input &) = delete;

        AVFormatContext *get() const
        {
            return m_context;
        }

    private:
        AVFormatContext *m_context = nullptr;
    };

    AVStream *firstVideo(AVFormatContext *context)
    {
        for (unsigned i = 0; i < context->nb_streams; ++i) {
            AVStream *stream = context->streams[i];
            if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
                return stream;
        }
        return nullptr;
    }

    enum class Boxes
    {
        NotIso,
        Whole,
        Beyond,
        NoIndex
    };

    quint64 bigEndian(const unsigned char *p, int bytes)
    {
        quint64 value = 0;
        for (int i = 0; i < bytes; ++i)
            value = (value << 8) | p[i];
        return value;
    }

    // Walks the top-level boxes of an ISO media file (MP4, MOV): a box that reaches past the
    // end of the file sets `claimed` to where it ends.
    Boxes walkBoxes(const QString &path, qint64 *claimed, const Deadline &deadline)
    {
        int fd = -1;
        const qint64 size = regularFileSize(path, &fd);
        if (size < 0)
            return Boxes::NotIso;
        static const char *const starts[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot", "styp"};
        // Top-level boxes whose size is taken at its word; anything else ends the walk unjudged
        // (bytes some tools append after the boxes).
        static const char *const known[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot", "styp", "moof",
                                            "mfra", "sidx", "ssix", "uuid", "meta", "udta", "pdin", "prft", "emsg"};
        const auto isKnown = [](const unsigned char *type) {
            return std::any_of(std::begin(known), std::end(known), [type](const char *k) { return std::memcmp(type, k, 4) == 0; });
        };
        Boxes result = Boxes::Whole;
        bool typed = false;
        bool index = false;
        bool data = false;
        qint64 offset = 0;
        for (int n = 0; n < kMaxBoxes && offset < size && !deadline.expired(); ++n) {
            unsigned char head[16] = {};
            const qint64 left = size - offset;
            const ssize_t got = ::pread(fd, head, static_cast<size_t>(std::min<qint64>(left, 16)), offset);
            if (got < 0)
                break;
            if (n == 0) {
                const bool first = got >= 8 && std::any_of(std::begin(starts), std::end(starts), [&head](const char *type) {
                    return std::memcmp(head + 4, type, 4) == 0;
                });
                if (!first) {
                    result = Boxes::NotIso;
                    break;
                }
                typed = std::memcmp(head + 4, "ftyp", 4) == 0;
            }
            if (got < 8) {
                // Less than a header at the end: zeros are padding, anything else a box cut short.
                if (std::all_of(head, head + got, [](unsigned char c) { return c == 0; })) {
                    offset = size;
                    break;
                }
                *claimed = offset + 8;
                result = Boxes::Beyond;
                break;
            }
            if (!isKnown(head + 4))
                break;
            quint64 boxSize = bigEndian(head, 4);
            quint64 header = 8;
            if (boxSize == 1) {
                if (got < 16) {
                    *claimed = offset + 16;
                    result = Boxes::Beyond;
                    break;
                }
                boxSize = bigEndian(head + 8, 8);
                header = 16;
            } else if (boxSize == 0) {
                boxSize = static_cast<quint64>(left); // up to the end of the file
            }
            if (boxSize < header)
                break; // not a box: whatever follows is not for this walk to judge
            if (boxSize > static_cast<quint64>(left)) {
                const quint64 end = static_cast<quint64>(offset) + boxSize;
                *claimed = end > quint64(std::numeric_limits<qint64>::max()) || end < boxSize ? std::numeric_limits<qint64>::max()
                                                                                                : qint64(end);
                result = Boxes::Beyond;
                break;
            }
            if (std::memcmp(head + 4, "moov", 4) == 0 || std::memcmp(head + 4, "moof", 4) == 0)
                index = true;
            else if (std::memcmp(head + 4, "mdat", 4) == 0)
                data = true;
            offset += static_cast<qint64>(boxSize);
        }
        ::close(fd);
        // Missing only when every byte was walked: the boxes end with the file, and none is the index.
        if (result == Boxes::Whole && offset == size && typed && data && !index)
            return Boxes::NoIndex;
        return result;
    }

    QString incomplete(const QString &why)
    {
        return QStringLiteral("视频文件不完整：%1（文件可能没有复制或下载完整），无法加密！").arg(why);
    }

    QString beyondEnd(qint64 claimed, qint64 size)
    {
        return incomplete(QStringLiteral("文件应有%1，实际只有%2")
                              .arg(formatFileSize(double(claimed) / 1048576.0), formatFileSize(double(size) / 1048576.0)));
    }

    QString seconds(double value)
    {
        return QString::number(value, 'f', 1);
    }

    struct Tail
    {
        double covered = 0.0; // seconds from the start reached by the packets read
        bool ended = false;   // the data ended (not the time)
    };

    Tail readPackets(AVFormatContext *context, int64_t start, double wanted, const Deadline &deadline, int limit)
    {
        Tail tail;
        AVPacket *packet = av_packet_alloc();
        if (!packet)
            return tail;
        for (int n = 0; limit < 0 || n < limit; ++n) {
            if (av_read_frame(context, packet) < 0) {
                tail.ended = !deadline.expired();
                break;
            }
            const AVStream *stream = context->streams[packet->stream_index];
            const int64_t at = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (at != AV_NOPTS_VALUE) {
                // In doubles: a damaged header's numbers must not overflow.
                const double end = (double(at) + double(std::max<int64_t>(packet->duration, 0))) * av_q2d(stream->time_base);
                tail.covered = std::max(tail.covered, end - double(start) / AV_TIME_BASE);
            }
            av_packet_unref(packet);
            if (tail.covered >= wanted)
                break;
        }
        av_packet_free(&packet);
        return tail;
    }

    // Whether the data reaches the end the container declares, judged by the packets just
    // before that end.
    QString tailRefusal(const QString &path, AVFormatContext *context, Deadline &deadline)
    {
        // A length guessed from the file's size promises nothing; a frame count in the header
        // (AVI) does, even where libavformat takes the length from the data it found.
        double declared = 0.0;
        if (context->duration > 0 && context->duration != AV_NOPTS_VALUE
            && context->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE)
            declared = double(context->duration) / AV_TIME_BASE;
        for (unsigned i = 0; i < context->nb_streams; ++i) {
            const AVStream *stream = context->streams[i];
            if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && stream->nb_frames > 0
                && stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0)
                declared = std::max(declared, double(stream->nb_frames) / av_q2d(stream->avg_frame_rate));
        }
        // No length a course video can have (over a thousand days): nothing to judge by.
        if (!(declared > 0.0) || declared > 1e8)
            return QString();
        const int64_t start = context->start_time == AV_NOPTS_VALUE ? 0 : context->start_time;
        const double wanted = declared - std::max(1.0, declared * 0.02);
        const int64_t target = start + std::max<int64_t>(0, int64_t(declared * AV_TIME_BASE) - kTailSpan);

        Tail tail;
        if (avformat_seek_file(context, -1, std::numeric_limits<int64_t>::min(), target, target, 0) >= 0
            || av_seek_frame(context, -1, target, AVSEEK_FLAG_BACKWARD) >= 0) {
            tail = readPackets(context, start, wanted, deadline, kTailPackets);
        } else {
            if (deadline.expired())
                return QString();
            // No seeking there: read from the start, as far as the time allows.
            Input again(path, deadline, false);
            if (!again.get())
                return QString();
            tail = readPackets(again.get(), start, wanted, deadline, -1);
        }
        if (!tail.ended || tail.covered >= wanted)
            return QString();
        LOG_WARNING(L"%s declares %s s, its data reaches %s s", path, seconds(declared), seconds(tail.covered));
        if (tail.covered <= 0.0)
            return incomplete(QStringLiteral("声明时长%1秒，结尾部分的数据缺失").arg(seconds(declared)));
        return incomplete(QStringLiteral("声明时长%1秒，数据只到约%2秒处").arg(seconds(declared), seconds(tail.covered)));
    }

    // `degrees` in [0, 360): -90 is 270. Counted as the display matrix, ffprobe and ffmpeg's
    // "rotate" tag count them.
    int turnDegrees(double degrees)
    {
        if (!std::isfinite(degrees))
            return 0;
        const long turned = std::lround(std::fmod(degrees, 360.0)) % 360;
        return static_cast<int>(turned < 0 ? turned + 360 : turned);
    }

    // "AVI" for the avi demuxer, "MOV" for "mov,mp4,m4a,3gp,3g2,mj2".
    QString formatName(const AVFormatContext *context)
    {
        const QString name = context->iformat && context->iformat->name ? QString::fromLatin1(context->iformat->name)
                                                                          : QString();
        return name.section(QLatin1Char(','), 0, 0).toUpper();
    }

    struct CopyTiming
    {
        bool presentationTimes = false; // a video packet came with its own presentation time
        int frames = 0;                 // video packets looked at
        double durations = 0.0;         // seconds their durations add up to, all but the last
        double span = 0.0;              // seconds from the first to the last
    };

    // The first video packets as a copy would take them (what stream probing read comes first).
    CopyTiming readCopyTiming(AVFormatContext *context, const AVStream *stream, const Deadline &deadline)
    {
        CopyTiming timing;
        AVPacket *packet = av_packet_alloc();
        if (!packet)
            return timing;
        const double base = av_q2d(stream->time_base);
        const bool noTimes = context->iformat && (context->iformat->flags & AVFMT_NOTIMESTAMPS);
        int64_t first = AV_NOPTS_VALUE;
        int64_t last = AV_NOPTS_VALUE;
        int64_t durations = 0;
        int64_t lastDuration = 0;
        bool timed = true;
        for (int n = 0; n < kTimingPackets && timing.frames < kTimingFrames && !deadline.expired(); ++n) {
            if (av_read_frame(context, packet) < 0)
                break;
            if (packet->stream_index == stream->index) {
                ++timing.frames;
                if (packet->pts != AV_NOPTS_VALUE && !noTimes)
                    timing.presentationTimes = true;
                const int64_t at = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
                if (at == AV_NOPTS_VALUE || packet->duration <= 0)
                    timed = false;
                if (at != AV_NOPTS_VALUE) {
                    if (first == AV_NOPTS_VALUE)
                        first = at;
                    last = at;
                }
                durations += lastDuration;
                lastDuration = std::max<int64_t>(packet->duration, 0);
            }
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        // Durations the muxer can go by only where every packet has one.
        if (timed && first != AV_NOPTS_VALUE && last > first) {
            timing.durations = double(durations) * base;
            timing.span = double(last - first) * base;
        }
        return timing;
    }

    QString pixelText(const AVPixFmtDescriptor *desc)
    {
        QString chroma;
        if (desc->log2_chroma_w == 1 && desc->log2_chroma_h == 1)
            chroma = QStringLiteral("4:2:0");
        else if (desc->log2_chroma_w == 1 && desc->log2_chroma_h == 0)
            chroma = QStringLiteral("4:2:2");
        else if (desc->log2_chroma_w == 0 && desc->log2_chroma_h == 0)
            chroma = QStringLiteral("4:4:4");
        const int depth = desc->nb_components > 0 ? desc->comp[0].depth : 0;
        if (!chroma.isEmpty() && depth > 0 && !(desc->flags & AV_PIX_FMT_FLAG_RGB))
            return QStringLiteral("%1位%2像素").arg(depth).arg(chroma);
        return QStringLiteral("像素格式%1").arg(QString::fromLatin1(desc->name));
    }
}

int QMediaCheck::boundMs()
{
    return QStageCheck::boundMs("VANTREL_MEDIA_CHECK_MS", kBoundMs);
}

QString QMediaCheck::wholeRefusal(const QString &path, const std::atomic<bool> *abort)
{
    Deadline deadline(abort);
    const qint64 size = regularFileSize(path);
    if (size <= 0)
        return QString();
    qint64 claimed = 0;
    switch (walkBoxes(path, &claimed, deadline)) {
    case Boxes::Beyond:
        LOG_WARNING(L"%s: a box ends at %lld, the file at %lld", path, claimed, size);
        return beyondEnd(claimed, size);
    case Boxes::NoIndex:
        LOG_WARNING(L"%s has media data but no index", path);
        return incomplete(QStringLiteral("缺少视频索引"));
    default:
        break;
    }

    Input input(path, deadline, true);
    AVFormatContext *context = input.get();
    if (!context || deadline.expired())
        return QString();
    // Where the container's own index places its samples.
    qint64 needed = 0;
    for (unsigned s = 0; s < context->nb_streams; ++s) {
        AVStream *stream = context->streams[s];
        const int count = avformat_index_get_entries_count(stream);
        for (int i = 0; i < count; ++i) {
            const AVIndexEntry *entry = avformat_index_get_entry(stream, i);
            if (entry && entry->pos >= 0 && entry->size > 0)
                needed = std::max<qint64>(needed, entry->pos + entry->size);
        }
    }
    if (needed > size) {
        LOG_WARNING(L"%s: its index reaches %lld, the file ends at %lld", path, needed, size);
        return beyondEnd(needed, size);
    }
    return tailRefusal(path, context, deadline);
}

QString QMediaCheck::browserCopyObstacle(const QString &path)
{
    Deadline deadline(nullptr);
    Input input(path, deadline, true);
    AVFormatContext *context = input.get();
    AVStream *stream = context ? firstVideo(context) : nullptr;
    if (!stream || stream->codecpar->codec_id != AV_CODEC_ID_H264)
        return QString();
    const AVCodecParameters *codec = stream->codecpar;
    QStringList reasons;

    size_t sideSize = 0;
    const uint8_t *side = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &sideSize);
    bool turned = false;
    if (side && sideSize >= 9 * sizeof(int32_t)) {
        int32_t matrix[9];
        std::memcpy(matrix, side, sizeof(matrix));
        const int degrees = turnDegrees(av_display_rotation_get(matrix));
        if (degrees != 0) {
            reasons << QStringLiteral("画面带有%1度旋转").arg(degrees);
            turned = true;
        }
        if (int64_t(matrix[0]) * matrix[4] - int64_t(matrix[1]) * matrix[3] < 0)
            reasons << QStringLiteral("画面带有镜像翻转");
    }
    const AVDictionaryEntry *rotate = av_dict_get(stream->metadata, "rotate", nullptr, 0);
    const int tagged = rotate ? turnDegrees(QString::fromUtf8(rotate->value).toDouble()) : 0;
    if (!turned && tagged != 0)
        reasons << QStringLiteral("画面带有%1度旋转").arg(tagged);

    const auto format = static_cast<AVPixelFormat>(codec->format);
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(format);
    if (format != AV_PIX_FMT_NONE && format != AV_PIX_FMT_YUV420P && format != AV_PIX_FMT_YUVJ420P && desc) {
        reasons << pixelText(desc);
    } else if (format == AV_PIX_FMT_NONE) {
        // Without decoded facts the profile tells the pixels.
        switch (codec->profile) {
        case FF_PROFILE_H264_HIGH_10:
        case FF_PROFILE_H264_HIGH_10_INTRA:
        case FF_PROFILE_H264_HIGH_422:
        case FF_PROFILE_H264_HIGH_422_INTRA:
        case FF_PROFILE_H264_HIGH_444:
        case FF_PROFILE_H264_HIGH_444_PREDICTIVE:
        case FF_PROFILE_H264_HIGH_444_INTRA:
        case FF_PROFILE_H264_CAVLC_444:
            reasons << QStringLiteral("像素不是8位4:2:0");
            break;
        default:
            break;
        }
    }
    if (codec->width % 2 != 0 || codec->height % 2 != 0)
        reasons << QStringLiteral("画面尺寸%1×%2不是偶数").arg(codec->width).arg(codec->height);

    // What the copy's times would say: a container that keeps no presentation times leaves
    // reordered (B) frames in decoding order, and frame durations that don't span the gaps
    // between frames give the playlist a wrong length.
    const CopyTiming timing = readCopyTiming(context, stream, deadline);
    if (!timing.presentationTimes && codec->video_delay > 0)
        reasons << QStringLiteral("%1格式不记录B帧的显示时间").arg(formatName(context));
    else if (timing.frames >= kTimingMinFrames && timing.span > 0.0
             && std::fabs(timing.durations / timing.span - 1.0) > kTimingTolerance)
        reasons << QStringLiteral("%1格式中的帧时长与帧间隔不符").arg(formatName(context));
    return reasons.join(QStringLiteral("，"));
}

double QMediaCheck::durationSeconds(const QString &path)
{
    Deadline deadline(nullptr);
    Input input(path, deadline, false);
    AVFormatContext *context = input.get();
    if (!context)
        return -1.0;
    double longest = -1.0;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream *stream = context->streams[i];
        if (stream->duration <= 0 || stream->duration == AV_NOPTS_VALUE)
            continue;
        const int64_t first = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
        longest = std::max(longest, (double(first) + double(stream->duration)) * av_q2d(stream->time_base));
    }
    if (longest >= 0.0)
        return longest;
    if (avformat_find_stream_info(context, nullptr) >= 0 && context->duration > 0 && context->duration != AV_NOPTS_VALUE)
        return double(context->duration) / AV_TIME_BASE;
    return -1.0;
}

bool QMediaCheck::readStreams(const QString &path, bool *video, bool *audio, const std::atomic<bool> *abort)
{
    *video = false;
    *audio = false;
    Deadline deadline(abort);
    Input input(path, deadline, true);
    AVFormatContext *context = input.get();
    if (deadline.expired())
        return false;
    if (!context)
        return true;
    *video = firstVideo(context) != nullptr;
    for (unsigned i = 0; i < context->nb_streams; ++i)
        *audio = *audio || context->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    return true;
}
