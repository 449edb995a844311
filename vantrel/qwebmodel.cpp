#include "qwebmodel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include "cglobal.h"
#include "cstringhelp.h"
#include "logger.h"
#include "qdtavideo.h"
#include "qtutils.h"
#include "quser.h"
#include "qwebprocess.h"
#include "uexception.h"

namespace
{
    // Segment length in seconds.
    const int HlsTime = 30;

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

QStringList QWebModel::transcodeCommand()
{
    m_transcodeTarget = transcodeTarget();
    QFile::remove(m_transcodeTarget);

    QStringList arguments {QStringLiteral("-nostdin"), QStringLiteral("-y"),
                           QStringLiteral("-i"), m_sourcePath,
                           QStringLiteral("-max_muxing_queue_size"), QStringLiteral("1024"),
                           QStringLiteral("-vcodec"), QStringLiteral("h264")};
    if (m_video)
        arguments << QProcess::splitCommand(m_video->config().webQuality());
    arguments << m_transcodeTarget;
    return arguments;
}

QStringList QWebModel::sliceCommand(const QString &playlistPath)
{
    // "Hidden" has no meaning for a folder under the application-data folder here.
    if (!QFileInfo(m_sliceFolder).isDir() && !QDir().mkpath(m_sliceFolder))
        throw UException("QDir().mkpath(sliceFolder)",
                         QStringLiteral("无法创建切片文件夹：%1").arg(m_sliceFolder), __FILE__, __LINE__);

    return {QStringLiteral("-nostdin"), QStringLiteral("-y"),
            QStringLiteral("-i"), m_convert ? m_transcodeTarget : m_sourcePath,
            QStringLiteral("-c"), QStringLiteral("copy"),
            QStringLiteral("-bsf:v"), QStringLiteral("h264_mp4toannexb"),
            QStringLiteral("-hls_time"), QString::number(HlsTime),
            QStringLiteral("-hls_list_size"), QStringLiteral("0"),
            playlistPath};
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

    if (!m_convert && m_video->codec() != QDtaVideo::CodecH264)
        throw UException("VLC_CODEC_H264 == iCodec", QStringLiteral("Web加密模式不支持非h264编码的视频"),
                         __FILE__, __LINE__);

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
    }
    m_progressBase = 0;

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
        QDir().mkpath(CGlobal::slicePath());
        runner->setWeight(0.4f);
        runner->exec(transcodeCommand());
        weight = 0.1f;
        m_progressBase = 40;
    }

    LOG_DEBUG(L"start slice video");

    // Clean-up B: a slicing that did not complete leaves no folder behind.
    bool complete = false;
    ScopeExit removeSlices([this, &complete]() {
        if (!complete)
            removeDir(m_sliceFolder);
    });

    // One multi-argument fill, so that no field's text is scanned for placeholders again.
    const QString playlistName = QStringLiteral("%1_%2_%3_%4.m3u8")
        .arg(QString::number(QUser::instance()->teacherId()), m_video->config().courseId(),
             QString::number(m_video->id()), QString::fromStdString(CStringHelp::md5(key.toUtf8().toStdString())));
    const QString playlistPath = m_sliceFolder + playlistName;

    runner->setWeight(weight);
    runner->exec(sliceCommand(playlistPath));

    LOG_DEBUG(L"start slice complete");

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
    complete = true;
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
    emit signal_progress(0, m_progressBase + value);
}
