#include "qframemodel.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringList>

#include "commonfun.h"
#include "cstringhelp.h"
#include "logger.h"
#include "namedpipe.h"
#include "qchildprocess.h"
#include "qdtavideo.h"
#include "qfilework.h"
#include "qmediacheck.h"
#include "qrecords.h"
#include "qrunfolder.h"
#include "qsourcefile.h"
#include "qstagecheck.h"
#include "qtutils.h"
#include "quser.h"
#include "qvalue.h"
#include "qworkfolder.h"
#include "uexception.h"

namespace
{
    // The child connects within a few hundred milliseconds of its start.
    constexpr int kConnectTimeoutMs = 30000;
    // After its last message the child ends about one second later.
    constexpr int kExitTimeoutMs = 10000;
    // Short slices: between two reads of the pipe the child's output is drained, so that a
    // chatty child is never held up on a full output channel for long.
    constexpr int kReadSliceMs = 25;
    constexpr int kDrainMs = 50;
    constexpr int kOutputTail = 8192;
    constexpr int kKillWaitMs = 3000;
    // Time a child is given to clean up after SIGTERM before SIGKILL.
    constexpr int kTermWaitMs = 5000;
    // How much shorter than its source a re-encoded output may play: seconds, and a share.
    constexpr double kLengthTolerance = 0.5;
    constexpr double kLengthShare = 0.02;

    int termWaitMs()
    {
        return QStageCheck::boundMs("VANTREL_STAGE_TERM_MS", kTermWaitMs);
    }

    // Whether the entries at `a` and `b` are one, as they stand: a link is judged as itself,
    // never by what it points at.
    bool sameEntry(const QString &a, const QString &b)
    {
        struct stat sa {};
        struct stat sb {};
        return ::lstat(QFile::encodeName(a).constData(), &sa) == 0 && ::lstat(QFile::encodeName(b).constData(), &sb) == 0
            && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }

    std::mutex s_programMutex;
    QString s_programPath;
    std::function<qint64(const QString &)> s_freeSpaceReader;
    std::function<void()> s_sourceOpenedHook;

    // What a disk needs for `bytes` of output: a share more (the package block, the file
    // system's own room), and at least a little.
    qint64 roomFor(qint64 bytes)
    {
        return bytes + std::max<qint64>(bytes / 20, 1024 * 1024);
    }

    // The modes whose plain transcode is written in the data folder's transcode folder.
    bool transcodes(int type)
    {
        return type == 1 || type == 5 || type == 6 || type == 8;
    }

    // The folder itself, or the nearest one above it that exists.
    QByteArray existingFolder(const QString &path)
    {
        QString folder = QDir::cleanPath(path);
        while (!QFileInfo(folder).isDir() && folder.contains(QLatin1Char('/')) && folder != QStringLiteral("/"))
            folder = QFileInfo(folder).absolutePath();
        return QFile::encodeName(folder);
    }

    const char kOutputFull[] = "sorbin: no room left in the output folder";
    const char kWorkFull[] = "sorbin: no room left in the work folder";
    const char kSingleFrame[] = "sorbin: the video has a single frame";

    const QString kCrash = QStringLiteral("加密程序异常退出");
    const QString kAuthParse = QStringLiteral("解析课程授权码失败！");
    const QString kPipeFailed = QStringLiteral("创建通信管道失败！");
    const QString kSilent = QStringLiteral("加密程序长时间无响应，已停止加密");
    const QString kFolderNotWritable = QStringLiteral("输出文件夹不存在或无法写入");

    // The reason when the output folder's disk went away during the run (a stick pulled or
    // unmounted): before the output was moved out of its run folder, or after.
    QString diskLost(const QString &folder, bool outputMoved)
    {
        const QString where = QDir::toNativeSeparators(QDir::cleanPath(folder));
        if (outputMoved)
            return QStringLiteral("输出文件夹“%1”所在的磁盘在加密完成后被移除或卸载（如U盘被拔出），加密后的视频尚未记录。请重新插入磁盘后重试")
                .arg(where);
        return QStringLiteral("输出文件夹“%1”所在的磁盘在加密过程中被移除或卸载（如U盘被拔出），视频未能加密。请重新插入磁盘后重试")
            .arg(where);
    }

    // The row's reason when the pipe can't be made: what the system said, in words.
    QString pipeFailure(int err)
    {
        return QStringLiteral("%1（%2）").arg(kPipeFailed, CommonFun::systemErrorText(err, QStringLiteral("运行文件夹不属于当前用户或无权访问")));
    }

    // Renames without ever replacing: false when `to` exists.
    bool renameNoReplace(const QString &from, const QString &to)
    {
        return renameNoReplaceAt(AT_FDCWD, from, AT_FDCWD, to);
    }

    // Something stands at `path`: a file, a folder or a link (dangling or not).
    bool taken(const QString &path)
    {
        struct stat st {};
        return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
    }

    QString recordedPath(const record_ptr &record)
    {
        return QDir::cleanPath(record->filePath() + record->fileName());
    }

    // Names an output may get when its video key is taken by something not this run's:
    // "<key less suffix> (n)<suffix>", numbered, then with a random token no one can foresee.
    constexpr int kNumberedNames = 8;
    constexpr int kRandomNames = 8;

    QString otherOutputName(const QString &videoKey, const QString &token)
    {
        const int dot = videoKey.lastIndexOf(QLatin1Char('.'));
        const QString stem = dot > 0 ? videoKey.left(dot) : videoKey;
        const QString suffix = dot > 0 ? videoKey.mid(dot) : QString();
        return QStringLiteral("%1 (%2)%3").arg(stem, token, suffix);
    }

    QStringList outputNamesOf(const QString &videoKey)
    {
        static const char letters[] = "abcdefghijkmnpqrstuvwxyz23456789";
        QStringList names {videoKey};
        for (int n = 1; n <= kNumberedNames; ++n)
            names << otherOutputName(videoKey, QString::number(n));
        for (int n = 0; n < kRandomNames; ++n) {
            QString token;
            for (int i = 0; i < 6; ++i)
                token += QLatin1Char(letters[QRandomGenerator::system()->bounded(int(sizeof letters - 1))]);
            names << otherOutputName(videoKey, token);
        }
        return names;
    }

    // True when `name` is the video key or one of its other output names.
    bool isOutputNameOf(const QString &videoKey, const QString &name)
    {
        if (name == videoKey)
            return true;
        const QString pattern = otherOutputName(videoKey, QStringLiteral("*"));
        const int star = pattern.indexOf(QLatin1Char('*'));
        const QString head = pattern.left(star);
        const QString tail = pattern.mid(star + 1);
        if (name.size() <= head.size() + tail.size() || !name.startsWith(head) || !name.endsWith(tail))
            return false;
        const QString token = name.mid(head.size(), name.size() - head.size() - tail.size());
        if (token.size() > 6)
            return false;
        for (const QChar c : token)
            if (!c.isLetterOrNumber() || c.unicode() > 0x7f)
                return false;
        return true;
    }
}

QFrameModel::QFrameModel(const std::shared_ptr<QDtaVideo> &video, QObject *parent)
    : QBase(parent)
    , m_video(video)
    , m_finished(false)
    , m_stop(false)
{
    if (!m_video)
        throw UException("not_null(video)", __FILE__, __LINE__);
}

QFrameModel::~QFrameModel()
{
    killChild();
    m_process.reset();
}

void QFrameModel::setProgramPath(const QString &path)
{
    std::lock_guard<std::mutex> lock(s_programMutex);
    s_programPath = path;
}

QString QFrameModel::programPath()
{
    {
        std::lock_guard<std::mutex> lock(s_programMutex);
        if (!s_programPath.isEmpty())
            return s_programPath;
    }
    return QChildProcess::program("VANTREL_SORBIN", QCoreApplication::applicationDirPath() + QStringLiteral("/sorbin"));
}

void QFrameModel::stop()
{
    // The worker thread owns the process; it sees the flag within one read slice and kills it.
    m_stop = true;
}

void QFrameModel::checkStop() const
{
    if (m_stop)
        throw UException("!m_stop", kCrash, __FILE__, __LINE__);
}

void QFrameModel::onFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    LOG_DEBUG(L"sorbin finished: %d %d", exitCode, static_cast<int>(exitStatus));
    m_finished = true;
}

void QFrameModel::run()
{
    LOG_DEBUG(L"frame convert start");
    checkStop();
    // An output moved out of its run folder is whole: it gets its name only after its last
    // write. A run that a kill ended before the record goes on from there, without encrypting
    // again (and without the empty folder the kill may have left of it); only the very file that
    // run moved out counts, nothing else that has the name.
    const QString earlier = QRunFolder::ownOutput(m_video->id(), m_video->savePath());
    if (!earlier.isEmpty()) {
        removeStaleRuns(*m_video);
        LOG_INFO(L"output of an earlier run found, recording it: %s", earlier);
        finish(earlier);
        return;
    }
    if (taken(outputPathOf(*m_video)))
        LOG_WARNING(L"%s is not the output of an earlier run of this job; left alone", outputPathOf(*m_video));
    const QString courseId = m_video->config().courseId();
    const int32_t rand = static_cast<int32_t>(static_cast<uint32_t>(static_cast<quint64>(m_video->id()) & 0xFFFFFFFFu));

    QValue data;
    QString error;
    const bool bRet = QUser::instance()->getAuthCode(rand, courseId, data, error);
    const std::string mac = QUser::instance()->mac().toStdString();
    if (!bRet)
        throw UException("bRet", error, __FILE__, __LINE__);
    checkStop();

    const std::string authCode = asQString(jsonMember(data, QStringLiteral("authCode"))).toStdString();
    bool isNumber = false;
    int courseNumber = courseId.toInt(&isNumber);
    if (!isNumber)
        courseNumber = 0;
    const std::string authText = parseAuthCode(authCode, mac, courseNumber);
    convert(keyBaseOf(authText));
}

std::string QFrameModel::parseAuthCode(const std::string &authCode, const std::string &mac, int courseId)
{
    if (authCode.empty())
        throw UException("!authCode.empty()", QStringLiteral("获取课程授权码失败！"), __FILE__, __LINE__);
    if (authCode.size() < 2)
        throw UException("authCode.size() >= 2", kAuthParse, __FILE__, __LINE__);
    const std::string scrc = authCode.substr(0, 2);
    const std::string rest = authCode.substr(2);
    const std::string crc = CStringHelp::md5Variant(rest);
    if (0 != CStringHelp::compare(crc.substr(0, 2), scrc))
        throw UException("0 == CStringHelp::compare(crc.substr(0, 2), scrc)", kAuthParse, __FILE__, __LINE__);
    const std::string key = CStringHelp::md5Variant(mac + CStringHelp::toString(static_cast<int32_t>(courseId)));
    bool ok = false;
    std::string text = CStringHelp::aesDecrypt(rest, key, &ok);
    if (!ok)
        throw UException("ok", kAuthParse, __FILE__, __LINE__);
    return text;
}

std::string QFrameModel::keyBaseOf(const std::string &authText)
{
    QValue root;
    if (!parseJson(QByteArray::fromStdString(authText), root, true))
        throw UException("parseJson(authText)", kAuthParse, __FILE__, __LINE__);
    const QValue &str = jsonMember(root, QStringLiteral("str"));
    // Without a key base every video would get the same key.
    if (!str.isString() || str.asString().empty())
        throw UException("root[\"str\"].isString()", kAuthParse, __FILE__, __LINE__);
    return str.asString();
}

std::string QFrameModel::mixKey(const std::string &keyBase, const std::string &courseId)
{
    std::string mixed = keyBase;
    if (!courseId.empty()) {
        for (size_t i = 0; i < mixed.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(courseId[i % courseId.size()]);
            mixed[i] = static_cast<char>(static_cast<unsigned char>(mixed[i]) ^ static_cast<unsigned char>((c * 2) & 0xFF));
        }
    }
    return CStringHelp::md5Variant(mixed);
}

std::string QFrameModel::pipeNameOf(const QString &videoKey)
{
    return "\\\\.\\pipe\\" + CStringHelp::md5(videoKey.toUtf8().toStdString());
}

QString QFrameModel::shortNameOf(const QString &videoKey)
{
    QStringList parts = videoKey.split(QLatin1Char('_'));
    if (parts.size() < 4)
        return videoKey;
    parts.erase(parts.begin(), parts.begin() + 3);
    return parts.join(QLatin1Char('_'));
}

Json::Value QFrameModel::makeJobJson() const
{
    const QDtaConfig &config = m_video->config();
    Json::Value task(Json::objectValue);
    task["course_id"] = config.courseId().toStdString();
    task["encrypt_type"] = static_cast<int>(config.encryptType());
    task["file_name"] = m_video->fileName().toStdString();
    task["file_path"] = m_video->filePath().toStdString();
    task["format"] = config.codecQuality().toStdString();
    task["randEnc"] = static_cast<Json::Int64>(m_video->id());
    task["save_path"] = m_video->savePath().toStdString();
    task["total_time"] = m_video->totalTime();
    task["video_height"] = m_video->videoHeight();
    task["video_key"] = m_video->videoKey().toStdString();
    task["video_width"] = m_video->videoWidth();
    return task;
}

bool QFrameModel::childRunning()
{
    if (!m_process || m_process->state() == QProcess::NotRunning)
        return false;
    m_process->waitForFinished(0);
    return m_process->state() != QProcess::NotRunning;
}

void QFrameModel::killChild()
{
    // SIGTERM first, so that the child can remove what it has begun; SIGKILL when it takes
    // too long. What it still leaves goes with the run's folder.
    if (m_process)
        QChildProcess::end(*m_process, termWaitMs(), kKillWaitMs);
}

void QFrameModel::checkPaths() const
{
    QStageCheck::checkFolder(m_video->savePath());
}

void QFrameModel::setFreeSpaceReader(std::function<qint64(const QString &folder)> reader)
{
    std::lock_guard<std::mutex> lock(s_programMutex);
    s_freeSpaceReader = std::move(reader);
}

void QFrameModel::setSourceOpenedHook(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lock(s_programMutex);
    s_sourceOpenedHook = std::move(hook);
}

void QFrameModel::checkRoom() const
{
    const QByteArray folder = QFile::encodeName(m_video->savePath());
    // The longest name the run makes is sorbin's temporary "<video key>.tmp".
    const QByteArray longest = QFile::encodeName(m_video->videoKey() + QStringLiteral(".tmp"));
    const long nameMax = ::pathconf(folder.constData(), _PC_NAME_MAX);
    if (nameMax > 0 && longest.size() > nameMax) {
        LOG_ERROR(L"the output name of %s has %d bytes, the folder allows %d", m_video->fileName(), int(longest.size()), int(nameMax));
        throw UException("name fits", QStringLiteral("文件名过长：加密后的文件名超出文件系统允许的长度（%1 字节），请缩短源文件名后重试")
                                          .arg(nameMax), __FILE__, __LINE__);
    }

    struct stat st {};
    const qint64 size = ::stat(QFile::encodeName(m_video->sourcePath()).constData(), &st) == 0 ? qint64(st.st_size) : 0;
    // The output beside the source; in a transcoding mode a plain transcode of about the
    // source's size in the data folder too, at the same time (on one disk: both there).
    const QString workRoot = QWorkFolder::defaultRoot();
    const bool transcode = transcodes(m_video->config().encryptType());
    struct stat so {};
    struct stat sw {};
    const bool oneDisk = transcode && ::stat(existingFolder(m_video->savePath()).constData(), &so) == 0
        && ::stat(existingFolder(workRoot).constData(), &sw) == 0 && so.st_dev == sw.st_dev;
    const qint64 outputRoom = roomFor(size) + (oneDisk ? roomFor(size) : 0);
    const qint64 outputFree = freeBytes(m_video->savePath());
    if (outputFree >= 0 && outputFree < outputRoom) {
        LOG_ERROR(L"%lld bytes free in %s, the run needs about %lld", static_cast<long long>(outputFree), m_video->savePath(),
                  static_cast<long long>(outputRoom));
        throw UException("room for the output", QStageCheck::noRoomIn(true, m_video->savePath())
                                                    + QStringLiteral("所在磁盘可用 %1，加密后的视频约需 %2")
                                                          .arg(formatFileSize(double(outputFree) / 1048576.0),
                                                               formatFileSize(double(outputRoom) / 1048576.0)),
                          __FILE__, __LINE__);
    }
    const qint64 workFree = transcode && !oneDisk ? freeBytes(workRoot) : -1;
    if (workFree >= 0 && workFree < roomFor(size)) {
        LOG_ERROR(L"%lld bytes free in %s, the transcode needs about %lld", static_cast<long long>(workFree), workRoot,
                  static_cast<long long>(roomFor(size)));
        throw UException("room for the transcode", QStageCheck::noRoomIn(false, workRoot)
                                                        + QStringLiteral("所在磁盘可用 %1，高强度加密的转码文件约需 %2")
                                                              .arg(formatFileSize(double(workFree) / 1048576.0),
                                                                   formatFileSize(double(roomFor(size)) / 1048576.0)),
                          __FILE__, __LINE__);
    }
}

qint64 QFrameModel::freeBytes(const QString &folder)
{
    {
        std::lock_guard<std::mutex> lock(s_programMutex);
        if (s_freeSpaceReader)
            return s_freeSpaceReader(folder);
    }
    struct statvfs fs {};
    if (::statvfs(existingFolder(folder).constData(), &fs) != 0)
        return -1;
    return static_cast<qint64>(fs.f_bavail) * static_cast<qint64>(fs.f_frsize);
}

void QFrameModel::throwIfNoRoom() const
{
    // sorbin tells a write that ran out of room on its output, beside its failure.
    const bool output = m_outputTail.contains(kOutputFull);
    if (!output && !m_outputTail.contains(kWorkFull))
        return;
    const QString folder = output ? m_video->savePath() : QWorkFolder::defaultRoot();
    LOG_ERROR(L"no room left in %s", folder);
    throw UException("room during the run", output ? QStageCheck::noRoomIn(true, folder) + QStringLiteral("所在磁盘已满，视频未能加密，请清理磁盘后重试")
                                                   : QStageCheck::dataFolderFull(folder, QStringLiteral("高强度加密的转码文件")),
                     __FILE__, __LINE__);
}

void QFrameModel::removeStaleRuns(const QDtaVideo &video)
{
    // Folders of earlier runs of this job whose program died (only those this program noted
    // when it made them); a child of such a run that still lives loses its files, and never
    // reaches the new run's.
    QRunFolder::sweep(video.id());
}

QString QFrameModel::takeOutput(QRunFolder &runFolder)
{
    const QString videoKey = m_video->videoKey();
    const QString output = m_video->savePath() + videoKey;
    if (!runFolder.holdsFile(videoKey)) {
        // A disk gone meanwhile is told by the caller.
        LOG_ERROR(L"sorbin reported success without output %s in %s", videoKey, runFolder.name());
        throw UException("runFolder.holdsFile(videoKey)", QStringLiteral("加密失败"), __FILE__, __LINE__);
    }
    // Never over anything: what stands at a name (a link to the source or elsewhere, the source's
    // own hard link, anyone's file) is judged as the entry itself by the no-replace move through
    // the open folders, left alone, and the output takes the next name.
    int err = 0;
    for (const QString &name : outputNamesOf(videoKey)) {
        if (runFolder.moveOut(videoKey, name))
            return m_video->savePath() + name;
        err = errno;
        // Not noted, not moved: a restart could not tell this output from someone else's, so
        // the run goes and the job stays to be done again.
        if (err == ECANCELED) {
            const QString folder = QDir::toNativeSeparators(QFileInfo(QRunFolder::registryPath()).absolutePath());
            LOG_ERROR(L"cannot note the output %s%s in %s", m_video->savePath(), name, QRunFolder::registryPath());
            throw UException("runFolder.moveOut(videoKey)", QStringLiteral("无法保存加密记录：数据文件夹“%1”无法写入，请检查磁盘空间和文件夹权限后重试")
                                                                .arg(folder), __FILE__, __LINE__);
        }
        // A longer name may not fit where the video key did: the next (numbered ones are no
        // longer than sorbin's temporary name) may.
        if (err != EEXIST && err != ENAMETOOLONG)
            break;
        LOG_WARNING(L"%s%s is taken by something not this run's output; left alone", m_video->savePath(), name);
    }
    // A disk gone meanwhile: the run folder is noted, and goes once the disk is back (the caller
    // tells why).
    if (runFolder.outputFolderLost()) {
        LOG_ERROR(L"cannot move %s out of %s: %s", videoKey, runFolder.name(), QString::fromLocal8Bit(std::strerror(err)));
        throw UException("!runFolder.outputFolderLost()", QStringLiteral("加密失败"), __FILE__, __LINE__);
    }
    // Kept where it is, and told: the finished encryption is never thrown away.
    runFolder.keep();
    const QString kept = m_video->savePath() + runFolder.name() + QLatin1Char('/') + videoKey;
    LOG_ERROR(L"cannot move %s out of %s (%s); kept at %s", videoKey, runFolder.name(),
              QString::fromLocal8Bit(std::strerror(err)), kept);
    throw UException("runFolder.moveOut(videoKey)", QStringLiteral("视频已加密，但无法移到输出文件夹，加密后的文件保存在“%1”")
                                                        .arg(QDir::toNativeSeparators(kept)), __FILE__, __LINE__);
}

void QFrameModel::checkOutputLength(const QString &output) const
{
    // A re-encoded video is one of its own: it must play as long as its source's video (whole
    // seconds; the re-encode ends with the video, also where the sound went on longer).
    const int expected = m_video->totalTime();
    if (m_video->config().encryptType() != 8 || expected <= 0)
        return;
    const double played = QMediaCheck::durationSeconds(output);
    if (played < 0.0) {
        LOG_ERROR(L"the output %s can't be read as a video", output);
        throw UException("durationSeconds(output) >= 0", QStringLiteral("加密后的视频无法读取，加密失败"), __FILE__, __LINE__);
    }
    // A sound re-encode differs by a frame or two and by the padding at the start of its
    // streams; a damaged part of the source loses more.
    const double tolerance = std::max(kLengthTolerance, expected * kLengthShare);
    LOG_INFO(L"the output plays %s s, its source %d s", QString::number(played, 'f', 3), expected);
    if (expected - played > tolerance) {
        LOG_ERROR(L"the output is more than %s s short", QString::number(tolerance, 'f', 2));
        throw UException("expected - played <= tolerance", QStringLiteral("加密后的视频时长%1秒，比原视频时长%2秒短，视频不完整，加密失败")
                                                               .arg(played, 0, 'f', 1).arg(expected), __FILE__, __LINE__);
    }
}

void QFrameModel::drainOutput()
{
    if (!m_process)
        return;
    // Everything that is there, but bounded in time, so that a child that writes without
    // pause can't keep the worker away from the pipe.
    QElapsedTimer timer;
    timer.start();
    do {
        keepOutput(m_process->readAll());
    } while (m_process->state() != QProcess::NotRunning && timer.elapsed() < kDrainMs
             && m_process->waitForReadyRead(0));
    keepOutput(m_process->readAll());
}

void QFrameModel::keepOutput(const QByteArray &chunk)
{
    if (chunk.isEmpty())
        return;
    m_outputTail += chunk;
    if (m_outputTail.size() > kOutputTail)
        m_outputTail = m_outputTail.right(kOutputTail);
}

void QFrameModel::convert(const std::string &keyBase)
{
    const QString courseId = m_video->config().courseId();
    const std::string keyString = mixKey(keyBase, courseId.toStdString());
    LOG_DEBUG(L"frame convert start pipe");
    const std::string pipeName = pipeNameOf(m_video->videoKey());

    // Checked before the child exists: a missing source or a folder it can't write to would
    // only show as a child that never ends. The child reads the file the teacher added, through
    // this descriptor, whatever takes its name later.
    QSourceFile source;
    source.open(m_video->sourcePath(), m_video->sourceIdentity());
    checkPaths();
    checkRoom();
    removeStaleRuns(*m_video);
    // The child writes its temporary and finished output below a folder of this run alone;
    // the output is moved beside the source only when the run succeeded.
    QRunFolder runDir;
    bool listUnwritable = false;
    bool refused = false;
    if (!runDir.create(m_video->savePath(), m_video->id(), &listUnwritable, &refused)) {
        LOG_ERROR(L"cannot create a run folder in %s", m_video->savePath());
        if (listUnwritable)
            throw UException("runDir.create()", QStringLiteral("无法开始加密：数据文件夹“%1”无法写入，请检查磁盘空间和文件夹权限后重试")
                                                    .arg(QDir::toNativeSeparators(QFileInfo(QRunFolder::registryPath()).absolutePath())),
                             __FILE__, __LINE__);
        if (refused)
            throw UException("runDir.create()", QStringLiteral("无法开始加密：在输出文件夹“%1”中新建的临时文件夹一再被替换或不属于当前用户，请检查该文件夹的权限后重试")
                                                    .arg(QDir::toNativeSeparators(m_video->savePath())),
                             __FILE__, __LINE__);
        throw UException("runDir.create()", kFolderNotWritable, __FILE__, __LINE__);
    }

    m_process.reset(new QTiedProcess);
    if (!connect(m_process.get(), SIGNAL(finished(int, QProcess::ExitStatus)), this,
                 SLOT(onFinished(int, QProcess::ExitStatus)), Qt::DirectConnection))
        LOG_ERROR(L"sorbin finished signal not connected");
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->keepOpen(source.fd());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("SORBIN_SOURCE_FD"), QString::number(source.fd()));
    environment.insert(QStringLiteral("SORBIN_SOURCE_ID"), source.openedText());
    m_process->setProcessEnvironment(environment);
    LOG_INFO(L"sorbin reads %s through descriptor %d (%s)", m_video->sourcePath(), source.fd(), source.openedText());
    Json::Value job = makeJobJson();
    // A path through the open run folder: a link or folder put in its place can't redirect it.
    job["save_path"] = runDir.childPath().toStdString();
    const QByteArray task = toStyledByteArray(job, false).trimmed();
    // The key travels on standard input: command lines are visible to other users.
    const QStringList arguments { QString::fromUtf8(task), QStringLiteral("-"), QString::fromStdString(pipeName) };

    QString output;
    platform::NamedPipeServer pipe;
    if (!pipe.create(pipeName)) {
        LOG_ERROR(L"create pipe failed: %s: %s", pipeName, pipe.errorString());
        throw UException("pipe.create(pipeName)", pipeFailure(pipe.error()), __FILE__, __LINE__);
    }
    checkStop();

    try {
        QFileWork::crashPoint("child");
        std::function<void()> openedHook;
        {
            std::lock_guard<std::mutex> lock(s_programMutex);
            openedHook = s_sourceOpenedHook;
        }
        if (openedHook)
            openedHook();
        m_process->start(programPath(), arguments, QIODevice::ReadWrite);
        if (!m_process->waitForStarted(10000)) {
            LOG_ERROR(L"start %s failed: %s", programPath(), m_process->errorString());
            throw UException("m_process->waitForStarted()", QStringLiteral("启动加密程序失败！"), __FILE__, __LINE__);
        }
        LOG_DEBUG(L"frame convert start sorbin");
        m_process->write(QByteArray::fromStdString(CStringHelp::base64Encode(keyString)) + '\n');
        m_process->waitForBytesWritten(3000);
        m_process->closeWriteChannel();

        LOG_DEBUG(L"wait for convert");
        waitForClient(pipe);
        if (pipe.isConnected())
            readProgress(pipe);
        pipe.close();

        // Bounded wait for the child's end after its last message.
        QElapsedTimer timer;
        timer.start();
        while (childRunning() && timer.elapsed() < kExitTimeoutMs) {
            if (m_stop)
                killChild();
            m_process->waitForFinished(kReadSliceMs);
            drainOutput();
        }
        if (childRunning()) {
            LOG_ERROR(L"sorbin did not end after its last message");
            killChild();
        }
        drainOutput();
        if (m_stop)
            throw UException("!m_stop", kCrash, __FILE__, __LINE__);
        if (m_process->exitStatus() != QProcess::NormalExit)
            throw UException("m_process->exitStatus() == QProcess::NormalExit", kCrash, __FILE__, __LINE__);
        if (m_process->exitCode() != 0)
            throw UException("m_process->exitCode() == 0", QStringLiteral("加密失败"), __FILE__, __LINE__);
        checkOutputLength(runDir.childPath() + m_video->videoKey());
        QFileWork::crashPoint("verified");
        output = takeOutput(runDir);
        QFileWork::crashPoint("moved");
        // Moved out where the path no longer leads (a stick pulled or unmounted): not done yet.
        if (runDir.outputFolderLost())
            throw UException("!runDir.outputFolderLost()", diskLost(m_video->savePath(), true), __FILE__, __LINE__);
    } catch (...) {
        // The pipe goes first: a child that reports while it ends is not left waiting for a reply.
        pipe.close();
        killChild();
        const bool lost = runDir.outputFolderLost();
        // Sorbin's own messages name the folder only by that path.
        LOG_ERROR(L"the run ended early; its folder %s", runDir.describe());
        runDir.remove();
        drainOutput();
        if (!m_outputTail.isEmpty())
            LOG_DEBUG(L"sorbin output: %s", QString::fromUtf8(m_outputTail));
        // The disk went away under the run: that is why it failed. What it left there is noted
        // and taken up or removed once the disk is back.
        if (!m_stop && lost) {
            LOG_ERROR(L"the output folder %s is no longer where the run opened it (disk pulled or unmounted)", m_video->savePath());
            throw UException("!runDir.outputFolderLost()", diskLost(m_video->savePath(), !output.isEmpty()), __FILE__, __LINE__);
        }
        // A file changed under the child: that is why it failed.
        if (!m_stop && source.changedSinceOpen())
            throw UException("!source.changedSinceOpen()", QSourceFile::changedMessage(), __FILE__, __LINE__);
        throwIfNoRoom();
        if (!m_stop && m_outputTail.contains(kSingleFrame))
            throw UException("single frame", QStringLiteral("视频只有一帧画面，无法高强度重编码加密，请改用快速加密"), __FILE__, __LINE__);
        throw;
    }
    runDir.remove();
    LOG_DEBUG(L"frame convert complete");
    finish(output);
}

void QFrameModel::waitForClient(platform::NamedPipeServer &pipe)
{
    // A child that sends nothing for this long (connected or not) is ended.
    const int silence = QStageCheck::silenceMs();
    QElapsedTimer timer;
    timer.start();
    while (!pipe.waitForClient(kReadSliceMs)) {
        drainOutput();
        if (m_stop)
            throw UException("!m_stop", kCrash, __FILE__, __LINE__);
        // A child that ended without connecting is judged by its exit below.
        if (!childRunning())
            return;
        if (timer.elapsed() > silence) {
            LOG_ERROR(L"sorbin did not connect to its pipe within %d ms", silence);
            throw UException("pipe.waitForClient()", kSilent, __FILE__, __LINE__);
        }
        if (timer.elapsed() > kConnectTimeoutMs) {
            LOG_ERROR(L"sorbin did not connect to its pipe");
            throw UException("pipe.waitForClient()", kPipeFailed, __FILE__, __LINE__);
        }
    }
}

void QFrameModel::readProgress(platform::NamedPipeServer &pipe)
{
    // A child that sends nothing for this long (connected or not) is ended.
    const int silence = QStageCheck::silenceMs();
    QElapsedTimer quiet;
    quiet.start();
    while (!m_finished) {
        if (m_stop)
            throw UException("!m_stop", kCrash, __FILE__, __LINE__);
        drainOutput();
        std::string message;
        const int got = pipe.read(message, kReadSliceMs);
        if (got < 0)
            break; // the child closed its end: it is ending
        if (got == 0) {
            if (!childRunning())
                m_finished = true;
            else if (quiet.elapsed() > silence) {
                LOG_ERROR(L"sorbin sent nothing for %d ms", silence);
                throw UException("quiet.elapsed() <= silence", kSilent, __FILE__, __LINE__);
            }
            continue;
        }
        quiet.restart();
        pipe.write("ok");
        if (handleMessage(message))
            m_finished = true;
    }
}

bool QFrameModel::handleMessage(const std::string &message)
{
    const QStringList parts = QString::fromUtf8(message.c_str()).split(QLatin1Char(':'));
    bool isNumber = false;
    const int code = parts.value(0).trimmed().toInt(&isNumber);
    if (!isNumber) {
        LOG_WARNING(L"ignored pipe message: %s", QString::fromUtf8(message.c_str()).trimmed());
        return false;
    }
    switch (code) {
    case 0:
        return true;
    case 1:
        throw UException("false", QStringLiteral("视频加密异常"), __FILE__, __LINE__);
    case 2: {
        QFileWork::crashPoint("encrypting");
        if (parts.size() != 2)
            throw UException("2 == strList.size()", QStringLiteral("加密进度信息格式错误"), __FILE__, __LINE__);
        bool ok = false;
        const int value = parts.at(1).trimmed().toInt(&ok);
        if (ok)
            emit signal_progress(2, value);
        return false;
    }
    default:
        // Without its line feed: one log line per record.
        LOG_DEBUG(L"pipe message: %s", QString::fromUtf8(message.c_str()).trimmed());
        return false;
    }
}

QString QFrameModel::outputPathOf(const QDtaVideo &video)
{
    return video.savePath() + video.videoKey();
}

QString QFrameModel::finalPathOf(const QDtaVideo &video)
{
    return video.savePath() + shortNameOf(video.videoKey());
}

bool QFrameModel::completeRecorded(const QDtaVideo &video)
{
    const record_ptr record = QRecords::instance()->jobRecord(video.id());
    if (!record)
        return false;
    const QString recorded = recordedPath(record);
    // An id shared with another record (not this job's output) is no done mark.
    const QFileInfo info(recorded);
    const bool inFolder = QDir::cleanPath(info.path()) == QDir::cleanPath(video.savePath());
    if (!inFolder || (!isOutputNameOf(video.videoKey(), info.fileName()) && recorded != QDir::cleanPath(finalPathOf(video))))
        return false;
    removeStaleRuns(video);
    // Only the very file the run moved out is renamed or recorded: nothing else of its name.
    const QString output = QRunFolder::ownOutput(video.id(), video.savePath());
    if (!output.isEmpty() && recorded != QDir::cleanPath(output)) {
        // Recorded under the short name while the output still has its first name.
        if (taken(recorded) && sameEntry(output, recorded)) {
            // A link-and-unlink rename cut short: both names are the output.
            QFile::remove(output);
        } else if (taken(recorded) || !renameNoReplace(output, recorded)) {
            LOG_WARNING(L"%s is taken, the output keeps the name %s", recorded, output);
            QRecords::instance()->moveRecord(record->id(), output);
        }
    }
    QRunFolder::forgetOutput(video.id());
    return true;
}

void QFrameModel::finish(const QString &output)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(output).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        LOG_ERROR(L"sorbin reported success without output %s", output);
        throw UException("QFile::exists(output)", QStringLiteral("加密失败"), __FILE__, __LINE__);
    }

    // The short name only when it is free: the source video, an earlier output or any other
    // file of that name is never replaced.
    QString target = finalPathOf(*m_video);
    if (QDir::cleanPath(target) == QDir::cleanPath(output) || QDir::cleanPath(target) == QDir::cleanPath(m_video->sourcePath())
        || taken(target))
        target = output;

    // The record first, under the job's id, in one write of the history: it marks the job done.
    // A restart that finds it finishes the rename below and never runs the job again.
    const int mode = m_video->config().encryptType();
    QString error;
    const record_ptr record = QRecords::instance()->addJobRecord(m_video->id(), target, output, mode, &error);
    if (!record) {
        // Not done: the output stays under its first name, and the next run of the job (a
        // retry, or the next start) records it then, once.
        const QString folder = QDir::toNativeSeparators(QFileInfo(QRecords::instance()->filePath()).absolutePath());
        throw UException("record saved", QStringLiteral("无法保存加密记录：数据文件夹“%1”无法写入（%2）。视频已加密，请检查磁盘空间和文件夹权限后重试")
                                             .arg(folder, error), __FILE__, __LINE__);
    }
    QFileWork::crashPoint("recorded");
    if (target != output) {
        if (renameNoReplace(output, target)) {
            QFileWork::crashPoint("renamed");
        } else {
            LOG_WARNING(L"%s is taken, the output keeps the name %s", target, output);
            QRecords::instance()->moveRecord(record->id(), output);
        }
    }
    // Done: the record names the output from now on.
    QRunFolder::forgetOutput(m_video->id());
}
