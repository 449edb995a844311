#include "qwebmodel.h"

#include <algorithm>
#include <cmath>

#include <sys/statvfs.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include "cglobal.h"
#include "cstringhelp.h"
#include "logger.h"
#include "qdtavideo.h"
#include "qmediacheck.h"
#include "qstagecheck.h"
#include "qtutils.h"
#include "quser.h"
#include "qwebprocess.h"
#include "uexception.h"

namespace
{
    // Segment length in seconds.
    const int HlsTime = 30;
    // A playlist is a short text; anything far larger is not one of ours.
    const qint64 PlaylistLimit = 16 * 1024 * 1024;
    // A disk with less room than this when ffmpeg fails is taken as full.
    const qint64 NearlyFull = 1024 * 1024;
    // Browsers play H.264 with 4:2:0 pixels and even dimensions only.
    const char *const BrowserVideoFilter = "scale=trunc(iw/2)*2:trunc(ih/2)*2,format=yuv420p";

    // Runs a clean-up when the scope ends, by return or by exception.
    template<typename F>
    class ScopeExit
    {
    public:
        explicit ScopeExit(F f) : m_f(std::move(f)) {}
        ~ScopeExit()
        {
            try {
                m_f();
            } catch (...) {
            }
        }
        ScopeExit(const ScopeExit &) = delete;
        ScopeExit &operator=(const ScopeExit &) = delete;

    private:
        F m_f;
    };

    QString folderWithSlash(QString folder)
    {
        if (!folder.isEmpty() && !folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
        return folder;
    }

    QString withoutSlash(QString folder)
    {
        while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
            folder.chop(1);
        return folder;
    }

    // Removes a job folder: first renamed aside in one step, so that a removal cut short leaves
    // a name the start-up sweep recognises, never half a folder under the job's own name.
    void discardFolder(const QString &folder)
    {
        const QString path = withoutSlash(folder);
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink())
            return;
        const QString aside = path + QStringLiteral(".removing");
        removeDir(aside);
        if (QDir().rename(path, aside))
            removeDir(aside);
        else
            removeDir(path);
    }

    bool present(const QString &path)
    {
        const QFileInfo info(path);
        return info.exists() || info.isSymLink();
    }

    // False for a line of ffmpeg's stream listing that names audio MPEG-TS can't carry for a
    // browser (anything but AAC and MP3): such audio is to be encoded.
    bool segmentsCarryAudio(const QString &line)
    {
        static const QRegularExpression audioExpr(QStringLiteral("^Stream #\\d+:\\d+.*: Audio: ([A-Za-z0-9_]+)"));
        const QRegularExpressionMatch match = audioExpr.match(line);
        if (!match.hasMatch())
            return true;
        const QString codec = match.captured(1);
        return codec == QLatin1String("aac") || codec == QLatin1String("mp3");
    }

    // Names relative to the slice folder (ffmpeg runs there): a "%" in the folder's path is
    // then never read as a segment number, and none is left in the segment names either.
    QString segmentBase(const QString &playlistName)
    {
        QString base = playlistName;
        if (base.endsWith(QLatin1String(".m3u8")))
            base.chop(5);
        base.replace(QLatin1Char('%'), QLatin1Char('_'));
        return base;
    }
}

QWebModel::QWebModel(QObject *parent)
    : QBase(parent)
    , m_convert(true)
{
}

QWebModel::QWebModel(std::shared_ptr<QDtaVideo> dtaVideo, QObject *parent)
    : QBase(parent)
    , m_video(std::move(dtaVideo))
{
    if (!m_video)
        throw UException("not_null(dtaVideo)", __FILE__, __LINE__);
    m_sourcePath = m_video->filePath() + m_video->fileName();
    m_sliceFolder = folderWithSlash(CGlobal::slicePath()) + QString::number(m_video->id()) + QLatin1Char('/');
    m_convert = m_video->config().autoConvert();
}

QWebModel::~QWebModel()
{
    std::lock_guard<std::mutex> lock(m_runnerMutex);
    m_runner.reset();
}

QString QWebModel::sliceFolder() const
{
    return m_sliceFolder;
}

QString QWebModel::transcodeTarget() const
{
    if (!m_video)
        return QString();
    // Beside the job folders, never in the user's source folder.
    return folderWithSlash(CGlobal::slicePath()) + QString::number(m_video->id()) + QStringLiteral(".transcode.mp4");
}

QString QWebModel::sourceInput() const
{
    return m_source.isOpen() ? m_source.procPath() : m_sourcePath;
}

QStringList QWebModel::transcodeCommand()
{
    m_transcodeTarget = transcodeTarget();
    QFile::remove(m_transcodeTarget);

    QStringList arguments {QStringLiteral("-nostdin"), QStringLiteral("-y"),
                           QStringLiteral("-i"), sourceInput(),
                           QStringLiteral("-max_muxing_queue_size"), QStringLiteral("1024"),
                           QStringLiteral("-vcodec"), QStringLiteral("h264")};
    QStringList quality;
    if (m_video && !m_ownQuality)
        quality = QProcess::splitCommand(m_video->config().webQuality());
    // The quality's own video filter, if any, ends in the browser's pixel format and size; one
    // given in a filter graph is left as it is.
    bool filtered = false;
    for (int i = 0; i + 1 < quality.size(); ++i)
    {
        const QString &option = quality.at(i);
        if (option == QLatin1String("-filter_complex") || option == QLatin1String("-lavfi"))
            filtered = true;
        if (option == QLatin1String("-vf") || option == QLatin1String("-filter:v"))
        {
            quality[i + 1] += QLatin1Char(',') + QLatin1String(BrowserVideoFilter);
            filtered = true;
            ++i;
        }
    }
    arguments << quality;
    if (!filtered)
        arguments << QStringLiteral("-vf") << QLatin1String(BrowserVideoFilter);
    arguments << QStringLiteral("-pix_fmt") << QStringLiteral("yuv420p")
              << QStringLiteral("-c:a") << QStringLiteral("aac")
              << m_transcodeTarget;
    return arguments;
}

QStringList QWebModel::sliceCommand(const QString &playlistPath, bool encodeAudio)
{
    // "Hidden" has no meaning for a folder under the application-data folder here.
    if (!QFileInfo(m_sliceFolder).isDir() && !QDir().mkpath(m_sliceFolder))
        throw UException("QDir().mkpath(sliceFolder)",
                         QStringLiteral("无法创建切片文件夹：%1").arg(m_sliceFolder), __FILE__, __LINE__);

    // ffmpeg runs in the slice folder: the input is named from the root.
    const QString input = QFileInfo(m_convert ? m_transcodeTarget : sourceInput()).absoluteFilePath();
    const QString playlistName = QFileInfo(playlistPath).fileName();
    return {QStringLiteral("-nostdin"), QStringLiteral("-y"),
            QStringLiteral("-fflags"), QStringLiteral("+genpts"),
            QStringLiteral("-i"), input,
            QStringLiteral("-sn"), QStringLiteral("-dn"),
            QStringLiteral("-c:v"), QStringLiteral("copy"),
            QStringLiteral("-c:a"), encodeAudio ? QStringLiteral("aac") : QStringLiteral("copy"),
            QStringLiteral("-bsf:v"), QStringLiteral("h264_mp4toannexb"),
            QStringLiteral("-hls_time"), QString::number(HlsTime),
            QStringLiteral("-hls_list_size"), QStringLiteral("0"),
            QStringLiteral("-hls_segment_filename"), segmentBase(playlistName) + QStringLiteral("%d.ts"),
            playlistName};
}

void QWebModel::run()
{
    if (!m_video)
        throw UException("not_null(dtaVideo)", __FILE__, __LINE__);

    // The folder is removed on failure and the key names a file in it: both must stay inside.
    const QString key = m_video->videoKey();
    if (!QDir::isAbsolutePath(m_sliceFolder) || !m_sliceFolder.startsWith(folderWithSlash(CGlobal::slicePath())))
        throw UException("QDir::isAbsolutePath(sliceFolder)",
                         QStringLiteral("切片文件夹不可用：%1").arg(m_sliceFolder), __FILE__, __LINE__);
    if (key.isEmpty() || key.contains(QLatin1Char('/')) || key == QLatin1String(".") || key == QLatin1String(".."))
        throw UException("validVideoKey(videoKey)", QStringLiteral("视频标识无效：%1").arg(key), __FILE__, __LINE__);

    // The bounds of the packaged modes: a source that can't be read (a FIFO among them) or a
    // slice folder that can't be written fails here, before ffmpeg could hold the worker.
    // The file the teacher added, read by ffmpeg through this descriptor only.
    m_source.open(m_sourcePath, m_video->sourceIdentity());
    ScopeExit closeSource([this]() { m_source.close(); });
    LOG_DEBUG(L"ffmpeg reads %s as %s", m_sourcePath, m_source.procPath());
    QDir().mkpath(CGlobal::slicePath());
    QStageCheck::checkFolder(CGlobal::slicePath());

    if (!m_convert && m_video->codec() != QDtaVideo::CodecH264)
        throw UException("VLC_CODEC_H264 == iCodec",
                         QStringLiteral("Web加密模式不支持非h264编码的视频，请在“上传视频设置”的“视频质量”中选择“原始”或其他画质（转码）后重试"),
                         __FILE__, __LINE__);
    // What a copy into MPEG-TS would show wrong in a browser (a rotation dropped, pixels or a
    // size browsers don't take) is transcoded instead, at the source's own quality.
    if (!m_convert) {
        const QString obstacle = QMediaCheck::browserCopyObstacle(sourceInput());
        if (!obstacle.isEmpty()) {
            LOG_INFO(L"%s is transcoded for the browser: %s", m_sourcePath, obstacle);
            m_convert = true;
            m_ownQuality = true;
            emit signal_note(QStringLiteral("%1，浏览器无法直接播放，已自动转码").arg(obstacle));
        }
    }

    QWebProcess *runner = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_runnerMutex);
        m_runner.reset(new QWebProcess());
        runner = m_runner.get();
        // Direct: the runner reports on this thread; signal_progress then crosses to the item queued.
        const bool connected = connect(runner, SIGNAL(signal_progress(int)), this, SLOT(onProgress(int)),
                                       Qt::DirectConnection);
        if (!connected)
            throw UException("connect(signal_progress, onProgress)", __FILE__, __LINE__);
        if (m_bStop)
            runner->stop();
        runner->keepOpen(m_source.fd());
    }
    m_progressBase = 0;
    m_lastProgress = -1;

    // Clean-up A: the transcode output never outlives the run. exec() has reaped ffmpeg before
    // it throws, so nothing writes the file any more.
    const bool convert = m_convert;
    ScopeExit removeTranscode([this, convert]() {
        if (convert && !m_transcodeTarget.isEmpty())
            QFile::remove(m_transcodeTarget);
    });

    float weight = 0.5f;
    if (m_convert)
    {
        runner->setWeight(0.4f);
        const QStringList transcoding = transcodeCommand();
        roomGuarded(*runner, [&]() { runner->exec(transcoding); });
        weight = 0.1f;
        m_progressBase = 40;
    }

    LOG_DEBUG(L"start slice video");

    // Clean-up B: a slicing that did not complete leaves no folder behind.
    bool complete = false;
    ScopeExit removeSlices([this, &complete]() {
        if (!complete)
            discardFolder(m_sliceFolder);
    });

    // One multi-argument fill, so that no field's text is scanned for placeholders again.
    const QString playlistName = QStringLiteral("%1_%2_%3_%4.m3u8")
        .arg(QString::number(QUser::instance()->teacherId()), m_video->config().courseId(),
             QString::number(m_video->id()), QString::fromStdString(CStringHelp::md5(key.toUtf8().toStdString())));
    const QString playlistPath = m_sliceFolder + playlistName;

    // The marker stays until the folder is complete: a folder that has it when the program
    // starts was cut short.
    const QString marker = m_sliceFolder + slicingMarker();
    QStringList slicing;
    roomGuarded(*runner, [&]() {
        slicing = sliceCommand(playlistPath);
        QFile file(marker);
        if (!file.open(QIODevice::WriteOnly))
            throw UException("file.open(marker)", QStringLiteral("无法写入切片文件夹：%1").arg(m_sliceFolder),
                             __FILE__, __LINE__);
    });
    runner->setWeight(weight);
    // Audio is copied; the source's stream listing tells at once when it must be encoded
    // instead, and that run is ended and made again.
    if (!m_convert)
        runner->setLineCheck(segmentsCarryAudio);
    bool copied = true;
    roomGuarded(*runner, [&]() { copied = runner->exec(slicing, m_sliceFolder); });
    runner->setLineCheck(nullptr);
    if (!copied)
    {
        LOG_INFO(L"audio of %s is encoded to AAC", m_sourcePath);
        const QString base = segmentBase(playlistName);
        for (const QString &name : QDir(m_sliceFolder).entryList(QDir::Files | QDir::Hidden | QDir::System))
        {
            if (name.startsWith(playlistName) || (name.startsWith(base) && name.endsWith(QLatin1String(".ts"))))
                QFile::remove(m_sliceFolder + name);
        }
        roomGuarded(*runner, [&]() { runner->exec(sliceCommand(playlistPath, true), m_sliceFolder); });
    }

    LOG_DEBUG(L"start slice complete");
    roomGuarded(*runner, [&]() { checkSlices(playlistPath); });

    // The playlist takes the video key's name; one left by an earlier run is replaced.
    const QString finalPath = m_sliceFolder + key;
    if (finalPath != playlistPath)
    {
        if (QFileInfo::exists(finalPath) || QFileInfo(finalPath).isSymLink())
            QFile::remove(finalPath);
        if (!QFile::rename(playlistPath, finalPath))
            throw UException("QFile::rename(playlistPath, finalPath)",
                             QStringLiteral("切片文件重命名失败：%1").arg(finalPath), __FILE__, __LINE__);
    }
    if (!QFile::remove(marker))
        throw UException("QFile::remove(marker)", QStringLiteral("无法写入切片文件夹：%1").arg(m_sliceFolder),
                         __FILE__, __LINE__);
    complete = true;
}

void QWebModel::checkSlices(const QString &playlistPath) const
{
    const auto incomplete = [](const QString &why) {
        return UException("checkSlices(playlistPath)", QStringLiteral("视频切片不完整：%1").arg(why), __FILE__, __LINE__);
    };
    QFile file(playlistPath);
    if (!QFileInfo(playlistPath).isFile() || QFileInfo(playlistPath).size() > PlaylistLimit
        || !file.open(QIODevice::ReadOnly))
        throw incomplete(QStringLiteral("没有生成播放列表"));
    const QList<QByteArray> lines = file.readAll().split('\n');

    double total = 0.0;
    int segments = 0;
    bool header = false;
    bool ended = false;
    for (const QByteArray &raw : lines)
    {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty())
            continue;
        if (!header)
        {
            if (line != QLatin1String("#EXTM3U"))
                throw incomplete(QStringLiteral("播放列表格式错误"));
            header = true;
            continue;
        }
        if (line.startsWith(QLatin1String("#EXTINF:")))
        {
            bool ok = false;
            const double seconds = line.mid(8).section(QLatin1Char(','), 0, 0).toDouble(&ok);
            if (!ok || !std::isfinite(seconds) || seconds < 0.0)
                throw incomplete(QStringLiteral("播放列表格式错误"));
            total += seconds;
            continue;
        }
        if (line == QLatin1String("#EXT-X-ENDLIST"))
        {
            ended = true;
            continue;
        }
        if (line.startsWith(QLatin1Char('#')))
            continue;
        // A segment: a file beside the playlist.
        if (line.contains(QLatin1Char('/')) || line.contains(QLatin1Char('\\')) || line == QLatin1String(".")
            || line == QLatin1String(".."))
            throw incomplete(QStringLiteral("切片文件名无效 %1").arg(line));
        const QFileInfo segment(m_sliceFolder + line);
        if (segment.isSymLink() || !segment.isFile())
            throw incomplete(QStringLiteral("缺少切片文件 %1").arg(line));
        if (segment.size() <= 0)
            throw incomplete(QStringLiteral("切片文件为空 %1").arg(line));
        ++segments;
    }
    if (!header)
        throw incomplete(QStringLiteral("播放列表格式错误"));
    if (segments == 0)
        throw incomplete(QStringLiteral("播放列表中没有切片文件"));
    if (!ended)
        throw incomplete(QStringLiteral("播放列表没有结束"));

    const int expected = m_video ? m_video->totalTime() : 0;
    if (expected > 0 && std::fabs(total - expected) > std::max(2.0, expected * 0.05))
    {
        QString why = QStringLiteral("切片总时长%1秒，原视频时长%2秒").arg(total, 0, 'f', 1).arg(expected);
        // A whole source whose copy the muxer timed wrong plays right once transcoded.
        if (!m_convert && QMediaCheck::wholeRefusal(sourceInput()).isEmpty())
            why += QStringLiteral("（直接复制无法保持原视频的时长），请在“上传视频设置”的“视频质量”中选择“原始”（转码）后重试");
        throw incomplete(why);
    }
}

void QWebModel::roomGuarded(const QWebProcess &runner, const std::function<void()> &step) const
{
    try {
        step();
    } catch (const UException &) {
        // A stop stays a stop, whatever the disk holds.
        if (!m_bStop)
            throwIfNoRoom(runner.ranOutOfRoom());
        throw;
    }
    if (runner.ranOutOfRoom())
        throwIfNoRoom(true);
}

void QWebModel::throwIfNoRoom(bool told) const
{
    // Slices and transcodes are both written in the slice folder; it is looked at before the
    // failed step's files are removed.
    const QString folder = CGlobal::slicePath();
    struct statvfs fs {};
    const qint64 free = ::statvfs(QFile::encodeName(folder).constData(), &fs) == 0
        ? static_cast<qint64>(fs.f_bavail) * static_cast<qint64>(fs.f_frsize) : -1;
    if (!told && (free < 0 || free >= NearlyFull))
        return;
    LOG_ERROR(L"no room left in %s (%lld bytes free)", folder, static_cast<long long>(free));
    throw UException("room in the data folder", QStageCheck::dataFolderFull(folder, QStringLiteral("Web模式的切片文件")),
                     __FILE__, __LINE__);
}

QString QWebModel::slicingMarker()
{
    return QStringLiteral(".slicing");
}

void QWebModel::sweepLeftovers()
{
    const QString root = folderWithSlash(CGlobal::slicePath());
    if (root.isEmpty() || !QDir::isAbsolutePath(root) || !QFileInfo(root).isDir())
        return;
    static const QRegularExpression transcodeExpr(QStringLiteral("^[0-9]+\\.transcode\\.mp4$"));
    static const QRegularExpression removingExpr(QStringLiteral("^[0-9]+\\.removing$"));
    static const QRegularExpression jobExpr(QStringLiteral("^[0-9]+$"));

    // Only direct entries of the slice folder with the names this stage gives, never through a link.
    const QFileInfoList entries = QDir(root).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries)
    {
        const QString name = entry.fileName();
        const QString path = root + name;
        if (entry.isSymLink())
            continue;
        if (transcodeExpr.match(name).hasMatch() && entry.isFile())
        {
            LOG_INFO(L"removing a transcode left by an earlier run: %s", path);
            QFile::remove(path);
        }
        else if (removingExpr.match(name).hasMatch() && entry.isDir())
        {
            LOG_INFO(L"removing a job folder left by an earlier run: %s", path);
            removeDir(path);
        }
        else if (jobExpr.match(name).hasMatch() && entry.isDir() && present(path + QLatin1Char('/') + slicingMarker()))
        {
            LOG_INFO(L"removing an unfinished job folder left by an earlier run: %s", path);
            discardFolder(path);
        }
    }
}

void QWebModel::stop()
{
    m_bStop = true;
    std::lock_guard<std::mutex> lock(m_runnerMutex);
    if (m_runner)
        m_runner->stop();
}

void QWebModel::onProgress(int value)
{
    // A slicing made again starts its share over; the stage's percentage never goes back.
    const int percent = m_progressBase + value;
    if (percent <= m_lastProgress)
        return;
    m_lastProgress = percent;
    emit signal_progress(0, percent);
}
