#include "ostrel.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QUrl>

#include <vlc/vlc.h>

#include "cstringhelp.h"
#include "fdio.h"
#include "logger.h"
#include "qvepfile.h"
#include "qvlclog.h"
#include "qwriteconfig.h"
#include "streamcipher.h"
#include "vepvideorecord.h"
#include "vlmfilekey.h"

const uint32_t Ostrel::kStreamTable[16] = {
    0x3A7C19E2, 0x8B04D5F6, 0x1E9A63C7, 0x5D28B0F4, 0xC61E47A9, 0x92F3085D, 0x4B7E2C10, 0xE05A9D36,
    0x7F13C8B2, 0x26D94E5A, 0xA8B571C3, 0x0D6F3A94, 0xB3C2E817, 0x59A04D6E, 0xF17B2095, 0x64E8C30A,
};

namespace
{
    // Body chunk of the stream cipher: a whole number of 1024-byte blocks.
    const size_t kChunkSize = 1024 * 1024;
    // How long a reply of the main program may take before the message counts as lost.
    const int kReplyTimeoutMs = 60000;
    // Once a termination signal came, a reply is waited for this long only.
    const int kReplyAfterSignalMs = 300;
    // How long the key line on standard input may take.
    const int kKeyTimeoutMs = 30000;
    // Frame encryption, in wall-clock time whatever a libvlc call costs: a pass that shows no
    // position above 0 this long after it was started is abandoned (then tried once more)...
    const qint64 kStartWaitMs = 31000;
    // ...and a started pass whose position has not risen (or stayed negative) this long fails.
    const qint64 kStallWaitMs = 60000;
    // Between two position polls.
    const int kPollMs = 500;
    // A source of fewer video frames is encoded on one x264 thread (see encryptFrame).
    const long long kOneThreadFrames = 1000;
    // On standard error for the main program, beside the failure.
    const char kSingleFrame[] = "sorbin: the video has a single frame";

    // A bound in milliseconds, shortened by the named environment variable where it is set
    // (tests do that, so that a bound of a minute is reached in seconds).
    qint64 waitBound(const char *variable, qint64 fallback)
    {
        bool ok = false;
        const qint64 value = qEnvironmentVariable(variable).toLongLong(&ok);
        return ok && value > 0 ? value : fallback;
    }

    qint64 tickCount()
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }

    QByteArray fsPath(const QString &path)
    {
        return QFile::encodeName(path);
    }

    // Reads until n bytes or the end; -1 on a read error.
    ssize_t readFull(int fd, uint8_t *buf, size_t n)
    {
        size_t got = 0;
        while (got < n)
        {
            const ssize_t r = ::read(fd, buf + got, n - got);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                return -1;
            if (r == 0)
                break;
            got += static_cast<size_t>(r);
        }
        return static_cast<ssize_t>(got);
    }

    // XOR of a span with one byte, eight bytes at a time.
    void xorSpan(uint8_t *p, size_t n, uint8_t x)
    {
        const uint64_t wide = 0x0101010101010101ull * x;
        size_t k = 0;
        for (; k + 8 <= n; k += 8)
        {
            uint64_t v;
            std::memcpy(&v, p + k, 8);
            v ^= wide;
            std::memcpy(p + k, &v, 8);
        }
        for (; k < n; ++k)
            p[k] ^= x;
    }

    // Device and inode of a file, where it exists.
    struct FileId
    {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
    };

    FileId fileIdOf(const QString &path, bool followLinks)
    {
        struct stat st;
        const QByteArray native = QFile::encodeName(path);
        FileId id;
        if ((followLinks ? ::stat(native.constData(), &st) : ::lstat(native.constData(), &st)) == 0)
        {
            id.exists = true;
            id.device = st.st_dev;
            id.inode = st.st_ino;
        }
        return id;
    }

    FileId fileIdOf(int fd)
    {
        struct stat st;
        FileId id;
        if (fd >= 0 && ::fstat(fd, &st) == 0)
        {
            id.exists = true;
            id.device = st.st_dev;
            id.inode = st.st_ino;
        }
        return id;
    }

    qint64 mtimeNsOf(const struct stat &st)
    {
        return static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000LL + static_cast<qint64>(st.st_mtim.tv_nsec);
    }

    // As the main program writes it into SORBIN_SOURCE_ID.
    QString identityText(const struct stat &st)
    {
        return QStringLiteral("%1:%2:%3:%4")
            .arg(static_cast<quint64>(st.st_dev))
            .arg(static_cast<quint64>(st.st_ino))
            .arg(static_cast<qint64>(st.st_size))
            .arg(mtimeNsOf(st));
    }

    bool sameFile(const FileId &a, const FileId &b)
    {
        return a.exists && b.exists && a.device == b.device && a.inode == b.inode;
    }

    // Inside dst="..." of a stream-output chain, '"' and '\' are escaped.
    QString escapeChainText(const QString &text)
    {
        QString out;
        for (const QChar c : text)
        {
            if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
                out += QLatin1Char('\\');
            out += c;
        }
        return out;
    }
}

Ostrel::Ostrel(QObject *parent)
    : QThread(parent)
    , m_stop(true)
    , m_terminated(false)
{
}

Ostrel::~Ostrel()
{
    m_pipe.close();
    if (m_sourceFd >= 0)
        ::close(m_sourceFd);
}

void Ostrel::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_waitMutex);
        m_stop = true;
    }
    m_wake.notify_all();
}

void Ostrel::stopOnSignal(int signal)
{
    LOG_WARNING(L"signal %d: the run ends", signal);
    m_terminated = true;
    stop();
}

void Ostrel::cleanUpNow()
{
    {
        std::lock_guard<std::mutex> lock(m_tempMutex);
        if (!m_tempDest.empty())
            ::unlink(m_tempDest.c_str());
        if (!m_tempIndex.empty())
            ::unlink(m_tempIndex.c_str());
    }
    m_work.remove();
}

bool Ostrel::pause(int ms)
{
    std::unique_lock<std::mutex> lock(m_waitMutex);
    return m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stop.load(); });
}

void Ostrel::setTempPaths(const QString &destPath, const QString &indexPath)
{
    std::lock_guard<std::mutex> lock(m_tempMutex);
    m_tempDest = fsPath(destPath).toStdString();
    m_tempIndex = fsPath(indexPath).toStdString();
}

void Ostrel::idle()
{
}

const QString &Ostrel::destPath() const
{
    return m_destPath;
}

const QString &Ostrel::indexPath() const
{
    return m_indexPath;
}

const QDtaVideo &Ostrel::task() const
{
    return m_task;
}

bool Ostrel::parseArguments(const QStringList &arguments)
{
    if (arguments.size() < 3)
    {
        LOG_ERROR(L"expected 3 arguments (task JSON, key string, pipe name), got %d", int(arguments.size()));
        // Where the last argument names a pipe, the main program still hears of the failure.
        if (!arguments.isEmpty() && arguments.last().startsWith(QStringLiteral("\\\\.\\pipe\\")))
        {
            connectPipe(arguments.last());
            sendFailed();
        }
        return false;
    }
    const QString json = arguments.at(0);
    const QString pipeName = arguments.at(2);
    LOG_DEBUG(json);
    // The key string itself never reaches the log.
    LOG_DEBUG(arguments.at(1) == QLatin1String("-") ? arguments.at(1) : keyFingerprint(arguments.at(1).toUtf8()));
    LOG_DEBUG(pipeName);

    m_keyString = arguments.at(1);
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8());
    m_task = QDtaVideo::fromJson(doc.isObject() ? doc.object() : QJsonObject());
    connectPipe(pipeName);

    // The pipe first: the main program may write the key once its client has connected.
    const bool keyFromStdin = m_keyString == QLatin1String("-");
    if (keyFromStdin)
        m_keyString = readKeyFromStdin();

    if (keyFromStdin && m_keyString.isEmpty())
    {
        LOG_ERROR(L"no key on standard input");
        sendFailed();
        return false;
    }
    return true;
}

bool Ostrel::connectPipe(const QString &pipeName)
{
    const std::string name = pipeName.toStdString();
    if (!platform::NamedPipeClient::waitForServer(name))
    {
        LOG_ERROR(L"don't have named pipe");
        return false;
    }
    LOG_DEBUG(L"connect named pipe");
    if (!m_pipe.connect(name))
    {
        LOG_ERROR(L"connect failed");
        return false;
    }
    return true;
}

bool Ostrel::sendMessage(int code, const QString &text)
{
    const std::string message = text.isEmpty()
        ? CStringHelp::format("%d", code)
        : CStringHelp::format("%d:%s\n", code, text.toUtf8().constData());
    if (!m_pipe.isConnected() || !m_pipe.write(message))
        return false;
    std::string reply;
    return m_pipe.read(reply, m_terminated ? kReplyAfterSignalMs : kReplyTimeoutMs) > 0;
}

bool Ostrel::sendLog(const QString &word)
{
    return sendMessage(4, word);
}

void Ostrel::sendFailed()
{
    sendMessage(1, QStringLiteral("failed"));
}

QString Ostrel::taskRefusal() const
{
    const QDtaVideo &task = m_task;
    if (!QDtaVideo::isKnownType(task.encryptType()))
        return QStringLiteral("encrypt type %1 is not supported").arg(task.encryptType());
    if (!QDtaVideo::isPlainName(task.videoKey()))
        return QStringLiteral("the video key \"%1\" is no plain file name").arg(task.videoKey());
    if (!QDtaVideo::isPlainName(task.fileName()))
        return QStringLiteral("the file name \"%1\" is no plain file name").arg(task.fileName());
    if (!QDtaVideo::isFolderPath(task.filePath()))
        return QStringLiteral("the source folder \"%1\" is no absolute folder path").arg(task.filePath());
    if (!QDtaVideo::isFolderPath(task.savePath()))
        return QStringLiteral("the output folder \"%1\" is no absolute folder path").arg(task.savePath());

    const QString source = task.filePath() + task.fileName();
    const QString output = task.savePath() + task.videoKey();
    const QString temporary = output + QStringLiteral(".tmp");
    // By name: one folder (as text or as the same directory) and the source's name.
    const bool sameFolder = task.filePath() == task.savePath()
        || sameFile(fileIdOf(task.filePath(), true), fileIdOf(task.savePath(), true));
    if (sameFolder && (task.fileName() == task.videoKey() || task.fileName() == task.videoKey() + QStringLiteral(".tmp")))
        return QStringLiteral("the output %1 or its temporary file would be the source %2").arg(output, source);
    // By identity: the source through another path (a link to it or to its folder, a folder
    // handed as "/proc/<pid>/fd/<n>/", a file system that folds case), or a link to it.
    const FileId sourceId = m_sourceFd >= 0 ? fileIdOf(m_sourceFd) : fileIdOf(source, true);
    for (const QString &path : {output, temporary})
        if (sameFile(sourceId, fileIdOf(path, true)) || sameFile(sourceId, fileIdOf(path, false)))
            return QStringLiteral("%1 is the source %2").arg(path, source);
    return QString();
}

QString Ostrel::openSource()
{
    const QString source = m_task.filePath() + m_task.fileName();
    const QByteArray handed = qgetenv("SORBIN_SOURCE_FD");
    int fd = -1;
    if (!handed.isEmpty())
    {
        bool number = false;
        fd = handed.toInt(&number);
        if (!number || fd < 0 || ::fcntl(fd, F_GETFD) < 0)
            return QStringLiteral("SORBIN_SOURCE_FD=%1 names no open descriptor").arg(QString::fromLatin1(handed));
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    else
    {
        // Without blocking: a FIFO under that name must not hold the run.
        fd = ::open(fsPath(source).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return QStringLiteral("the source %1 is not a readable file").arg(source);
    }
    struct stat st;
    QString refusal;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        refusal = QStringLiteral("the source %1 is not a readable file").arg(source);
    else if (!handed.isEmpty() && identityText(st) != qEnvironmentVariable("SORBIN_SOURCE_ID"))
        refusal = QStringLiteral("descriptor %1 is not the source the main program checked (%2, not %3)")
                      .arg(fd).arg(identityText(st), qEnvironmentVariable("SORBIN_SOURCE_ID"));
    if (!refusal.isEmpty())
    {
        ::close(fd);
        return refusal;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_sourceFd = fd;
    m_sourceStat = st;
    LOG_INFO(L"source %s read through descriptor %d (%s)", source, fd, identityText(st));
    return QString();
}

bool Ostrel::sourceChanged() const
{
    struct stat st;
    if (m_sourceFd < 0 || ::fstat(m_sourceFd, &st) != 0)
        return true;
    return st.st_size != m_sourceStat.st_size || mtimeNsOf(st) != mtimeNsOf(m_sourceStat);
}

QString Ostrel::sourceInput() const
{
    return QStringLiteral("/proc/self/fd/%1").arg(m_sourceFd);
}

bool Ostrel::copySource(const QString &destPath)
{
    const int out = ::open(fsPath(destPath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0)
    {
        LOG_ERROR(L"cannot create %s", destPath);
        return false;
    }
    std::vector<uint8_t> buffer(kChunkSize);
    bool ok = ::lseek(m_sourceFd, 0, SEEK_SET) == 0;
    while (ok)
    {
        const ssize_t r = readFull(m_sourceFd, buffer.data(), buffer.size());
        if (r <= 0)
        {
            ok = r == 0;
            break;
        }
        ok = platform::writeAll(out, buffer.data(), static_cast<size_t>(r));
    }
    if (::close(out) != 0)
        ok = false;
    return ok;
}

bool Ostrel::startWork()
{
    LOG_INFO(L"start work");
    // A task that could reach the wrong file is refused before any file is touched.
    const QString refusal = taskRefusal();
    if (!refusal.isEmpty())
    {
        LOG_ERROR(L"task refused: %s", refusal);
        sendFailed();
        return false;
    }
    // Private folders of runs that were killed: their plain transcodes go first.
    const int swept = QWorkFolder::sweep(QWorkFolder::defaultRoot());
    if (swept > 0)
        LOG_INFO(L"removed %d work folders of ended runs", swept);
    return doWork();
}

bool Ostrel::doWork()
{
    // A signal that came before the work began still counts.
    m_stop = m_terminated.load();
    const QByteArray keyText = m_keyString.toUtf8();
    LOG_INFO(L"key---%s", keyFingerprint(keyText));

    m_destPath = m_task.savePath() + m_task.videoKey() + QStringLiteral(".tmp");
    LOG_INFO(L"dest file---%s", m_destPath);

    // The run's private folder, which also names the temporary files for the sweep of a later
    // run, should this one be killed. The frame index lives in it: a name in a shared folder
    // could be foreseen and taken first by someone else.
    const bool privateFolder = m_work.create(QWorkFolder::defaultRoot());
    m_indexPath.clear();
    if (privateFolder)
    {
        m_indexPath = m_work.path() + QStringLiteral("index.inx");
        LOG_INFO(L"index file---%s", m_indexPath);
        if (!m_work.noteTempFiles({m_destPath}))
            LOG_WARNING(L"cannot note the temporary output in %s", m_work.path());
    }
    else
        LOG_WARNING(L"cannot set up a private work folder in %s", QWorkFolder::defaultRoot());
    setTempPaths(m_destPath, m_indexPath);

    // The source, opened once, and the task checked again against the file opened: until then
    // nothing at the output's names is touched.
    QString refusal = openSource();
    if (refusal.isEmpty())
        refusal = taskRefusal();
    if (!refusal.isEmpty())
    {
        LOG_ERROR(L"%s", refusal);
        m_work.remove();
        sendFailed();
        return false;
    }

    QFile::remove(m_destPath);

    bool ok = false;
    // Whatever is thrown, no temporary output stays behind; main() reports the failure.
    try
    {
        const int type = m_task.encryptType();
        if (type == 0)
            ok = copySource(m_destPath);
        else if (type == 1 || type == 5 || type == 6 || type == 8)
        {
            LOG_INFO(L"frame encrypt");
            if (m_indexPath.isEmpty())
                LOG_ERROR(L"frame encryption needs the private work folder");
            else
                ok = encryptFrame(m_destPath, m_indexPath, keyText);
        }
        else if (type == 3 || type == 7)
        {
            LOG_INFO(L"stream encrypt");
            ok = streamEncrypt(m_destPath, keyText);
        }
        else
            LOG_ERROR(L"encrypt type %d is not supported", type);

        if (ok && sourceChanged())
        {
            LOG_ERROR(L"the source %s changed while it was encrypted", m_task.filePath() + m_task.fileName());
            ok = false;
        }
        if (ok && m_terminated)
        {
            LOG_ERROR(L"ended by a signal before the output was finished");
            ok = false;
        }
        if (ok)
        {
            VepVideoRecord record;
            record.magic = 0x0133EFC0;
            record.number1 = 6;
            record.number2 = 2;
            record.courseId = m_task.courseId().toStdWString();
            record.randNumber = m_task.randNumber();
            record.videoKey = m_task.videoKey().toStdWString();
            record.encryptType = type;
            record.number8 = 2;
            record.width = m_task.videoWidth();
            record.height = m_task.videoHeight();
            record.duration = m_task.totalTime();
            QWriteConfig config;
            config.writeRecord(record);
            QVepFile vep;
            if (!vep.write(m_destPath.toStdWString(), m_indexPath.toStdWString(), config.data()))
            {
                LOG_ERROR(L"cannot append the package block to %s", m_destPath);
                ok = false;
            }
            else
                ok = finishOutput();
        }
    }
    catch (...)
    {
        removeTempFiles();
        throw;
    }
    if (!ok)
        reportFullFolder();
    removeTempFiles();
    if (ok)
        sendMessage(0, QStringLiteral("success"));
    else
        sendFailed();
    return ok;
}

void Ostrel::noteWriteError(int error)
{
    if ((error == ENOSPC || error == EDQUOT) && m_fullFolder == FullFolder::None)
        m_fullFolder = FullFolder::Output;
}

void Ostrel::reportFullFolder()
{
    // Asked while the partial output still takes its room.
    if (m_fullFolder == FullFolder::None && QFile::exists(m_destPath))
    {
        struct statvfs fs {};
        const QByteArray folder = fsPath(m_task.savePath());
        if (::statvfs(folder.constData(), &fs) == 0 && static_cast<qint64>(fs.f_bavail) * static_cast<qint64>(fs.f_frsize) < 1024 * 1024)
            m_fullFolder = FullFolder::Output;
    }
    if (m_fullFolder == FullFolder::None)
        return;
    // The pipe's messages stay as they are: the reason goes with the program's output.
    const char *line = m_fullFolder == FullFolder::Output ? "sorbin: no room left in the output folder"
                                                          : "sorbin: no room left in the work folder";
    LOG_ERROR(QString::fromLatin1(line));
    std::fprintf(stderr, "%s\n", line);
    std::fflush(stderr);
}

QString Ostrel::keyFingerprint(const QByteArray &key)
{
    return QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Md5).toHex().left(8));
}

bool Ostrel::finishOutput()
{
    const QString finalPath = m_task.savePath() + m_task.videoKey();
    // rename() replaces an existing file of that name in one step.
    if (::rename(fsPath(m_destPath).constData(), fsPath(finalPath).constData()) != 0)
    {
        LOG_ERROR(L"cannot rename %s to %s", m_destPath, finalPath);
        return false;
    }
    sendMessage(3, QString::fromLatin1(CStringHelp::base64Encode(finalPath.toUtf8().toStdString()).c_str()));
    return true;
}

void Ostrel::removeTempFiles()
{
    QFile::remove(m_destPath);
    QFile::remove(m_indexPath);
    m_work.remove();
}

QString Ostrel::md5Hex(const QString &text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toLocal8Bit(), QCryptographicHash::Md5).toHex());
}

QByteArray Ostrel::mixKey(const QByteArray &text, const QByteArray &mixing)
{
    if (mixing.isEmpty())
        return text;
    QByteArray out = text;
    for (int i = 0; i < out.size(); ++i)
        out[i] = char(uint8_t(text[i]) ^ uint8_t(2 * uint8_t(mixing[i % mixing.size()])));
    return out;
}

int Ostrel::keyNumber(const QByteArray &mixed)
{
    if (mixed.isEmpty())
        return 185;
    uint32_t bits = 0;
    for (int i = 1; i < mixed.size(); ++i)
    {
        const uint32_t w = kStreamTable[i % 16];
        const int32_t c = static_cast<int8_t>(mixed[i]);
        bits = (w << 29) | ((w >> 3) ^ (bits + static_cast<uint32_t>(c)));
    }
    return static_cast<int32_t>(bits) % 250;
}

int Ostrel::byteSum(uint32_t word)
{
    return int(word & 0xFF) + int(word >> 8 & 0xFF) + int(word >> 16 & 0xFF) + int(word >> 24);
}

uint8_t Ostrel::blockByte(int keyNumber, int64_t block)
{
    const int32_t b = static_cast<int32_t>(block);
    const uint32_t word = kStreamTable[static_cast<uint32_t>(b) % 16];
    return static_cast<uint8_t>(keyNumber ^ b ^ byteSum(word));
}

bool Ostrel::streamEncrypt(const QString &destPath, const QByteArray &keyText)
{
    const QString source = m_task.filePath() + m_task.fileName();
    const int in = m_sourceFd;
    if (in < 0 || ::lseek(in, 0, SEEK_SET) != 0)
    {
        LOG_ERROR(L"cannot read %s", source);
        return false;
    }
    ::posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    const int out = ::open(fsPath(destPath).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0)
    {
        LOG_ERROR(L"cannot create %s", destPath);
        return false;
    }
    struct stat st;
    const qint64 size = fstat(in, &st) == 0 ? static_cast<qint64>(st.st_size) : 0;
    const QByteArray mixed = mixKey(keyText, QByteArray::number(size));
    LOG_INFO(L"stream key---%s", keyFingerprint(mixed));
    // TEA takes 16 key bytes: a shorter key would be read past its end.
    if (mixed.size() < 16)
    {
        LOG_ERROR(L"the key text has %d bytes, the stream cipher needs at least 16", int(mixed.size()));
        ::close(out);
        return false;
    }
    const int number = keyNumber(mixed);
    // The number alone would decrypt the body: only a fingerprint of it reaches the log.
    LOG_INFO(L"create key---%s", keyFingerprint(mixed + QByteArray::number(number)));
    // Room for the whole output at once (also fails early on a full disk).
    if (size > 0 && ::posix_fallocate(out, 0, size) != 0)
        LOG_WARNING(L"cannot reserve %lld bytes for %s", static_cast<long long>(size), destPath);

    bool ioError = false;
    std::vector<uint8_t> buffer(kChunkSize);
    uint8_t *buf = buffer.data();
    const uint8_t *key = reinterpret_cast<const uint8_t *>(mixed.constData());

    // Header: TEA, then Blowfish, over each whole 8-byte block of the first 2560 bytes.
    const ssize_t head = readFull(in, buf, kHeaderSize);
    if (head < 0)
        ioError = true;
    qint64 processed = 0;
    if (head > 0)
    {
        BlowfishContext blowfish;
        blowfishInit(blowfish, key, 4);
        for (ssize_t off = 0; off + 8 <= head; off += 8)
        {
            teaEncrypt(buf + off, key);
            blowfishEncrypt(blowfish, buf + off, 8);
        }
        if (!platform::writeAll(out, buf, static_cast<size_t>(head)))
        {
            noteWriteError(errno);
            ioError = true;
        }
        processed = head;
    }
    LOG_INFO(L"encrypt header %d", int(processed));

    // Body: each byte XORed with the byte of its 1024-byte block.
    int lastPercent = 0;
    qint64 lastSend = -1;
    bool stopped = false;
    while (!ioError)
    {
        if (m_stop)
        {
            stopped = true;
            break;
        }
        const ssize_t r = readFull(in, buf, kChunkSize);
        if (r < 0)
        {
            ioError = true;
            break;
        }
        if (r == 0)
            break;
        ssize_t i = 0;
        while (i < r)
        {
            const qint64 position = processed + i;
            const qint64 block = position / kBlockSize;
            const ssize_t end = std::min<ssize_t>(r, i + static_cast<ssize_t>((block + 1) * kBlockSize - position));
            xorSpan(buf + i, static_cast<size_t>(end - i), blockByte(number, block));
            i = end;
        }
        if (!platform::writeAll(out, buf, static_cast<size_t>(r)))
        {
            noteWriteError(errno);
            ioError = true;
            break;
        }
        processed += r;

        if (processed > size)
            continue; // grown meanwhile: fails at the end
        const int percent = static_cast<int>(static_cast<double>(processed) / static_cast<double>(size) * 100.0);
        if (percent == lastPercent)
            continue;
        const qint64 now = tickCount();
        if (lastSend >= 0 && now - lastSend <= 500)
            continue;
        // One line per progress message, not per block: the log must not slow the copy down.
        LOG_INFO(L"write data---%lld", static_cast<long long>(processed));
        if (!sendMessage(2, QString::number(percent)))
            m_stop = true;
        lastPercent = percent;
        lastSend = now;
    }
    // The reserved room ends where the data ends (a source may have shrunk meanwhile).
    if (::ftruncate(out, static_cast<off_t>(processed)) != 0)
        ioError = true;
    if (::close(out) != 0)
    {
        noteWriteError(errno);
        ioError = true;
    }
    if (ioError)
        LOG_ERROR(L"read or write error while encrypting %s", source);
    // The key was mixed with the length at the start: another length can't be deciphered.
    const bool sizeChanged = !ioError && !stopped && processed != size;
    if (sizeChanged)
        LOG_ERROR(L"%s changed its length while it was encrypted (%lld, now %lld bytes)", source,
                  static_cast<long long>(size), static_cast<long long>(processed));
    const bool ok = !stopped && !ioError && !sizeChanged && !m_stop;
    // "100" stands for a complete output only.
    if (ok)
        sendMessage(2, QStringLiteral("100"));
    LOG_INFO(L"stream encrypt complete");
    return ok;
}

bool Ostrel::encryptFrame(const QString &destPath, const QString &indexPath, const QByteArray &keyText)
{
    LOG_INFO(L"encryptFrame ----------");
    LOG_INFO(destPath);
    LOG_INFO(indexPath);
    sendLog(QStringLiteral("encryptFrame"));

    // A source that is gone, unreadable or no regular file failed when it was opened; an empty
    // one fails here, not after a minute of libvlc retrying it.
    const QString source = m_task.filePath() + m_task.fileName();
    if (m_sourceFd < 0)
    {
        LOG_ERROR(L"the source %s is not a readable file", source);
        return false;
    }
    if (m_sourceStat.st_size == 0)
    {
        LOG_ERROR(L"the source %s is empty", source);
        return false;
    }
    // The plain transcode is written only inside the user's private data folder.
    if (m_work.path().isEmpty())
    {
        LOG_ERROR(L"cannot create a private work folder in %s", QWorkFolder::defaultRoot());
        return false;
    }

    const qint64 startWait = waitBound("SORBIN_START_WAIT_MS", kStartWaitMs);
    const qint64 stallWait = waitBound("SORBIN_STALL_WAIT_MS", kStallWaitMs);

    // libvlc's transcode stops draining x264 at the first empty answer, and x264's frame threads
    // answer empty while their pipeline fills: a clip shorter than lookahead and threads
    // together (a few hundred frames at most) lost all its frames. Such a clip is encoded on one
    // thread, which answers with a frame for as long as it holds one.
    const long long frames = platform::vlmVideoFrames(fsPath(sourceInput()).toStdString());
    if (frames == 1)
    {
        // The mp4 output ends each track one frame early: one frame leaves none.
        LOG_ERROR(L"the source %s has a single video frame, which can't be re-encoded", source);
        std::fprintf(stderr, "%s\n", kSingleFrame);
        std::fflush(stderr);
        return false;
    }
    const bool oneThread = frames < kOneThreadFrames; // also where the count is unknown (-1)
    LOG_INFO(L"source video frames %lld%s", frames, oneThread ? " (encoded on one thread)" : "");
    const char *const args[] = {"--file-caching=300", "--sout-x264-options=threads=1"};
    libvlc_instance_t *instance = libvlc_new(oneThread ? 2 : 1, args);
    if (!instance)
    {
        LOG_ERROR(L"libvlc_new failed");
        return false;
    }
    QVlcLog vlcLog;
    vlcLog.attach(instance);
    sendLog(QStringLiteral("libvlc_new"));

    bool result = false;
    bool ready = true;
    if (m_task.encryptType() != 0)
    {
        sendLog(QStringLiteral("enNone"));
        const QByteArray index = indexPath.toUtf8();
        const QByteArray work = m_work.path().toUtf8();
        ready = libvlc_vlm_set_file_flag(instance, 1) == 0
            && libvlc_vlm_set_file_key(instance, keyText.constData()) == 0
            && libvlc_vlm_set_index_path(instance, index.constData()) == 0
            && libvlc_vlm_set_work_path(instance, work.constData()) == 0;
        if (!ready)
            LOG_ERROR(L"cannot switch the file output to encryption");
    }

    const QString chain = QStringLiteral("#transcode{vcodec=h264,acodec=mpga,%1}:std{access=file{no-overwrite},mux=mp4,dst=\"%2\"}")
                              .arg(m_task.format(), escapeChainText(destPath));
    LOG_INFO(chain);
    const QByteArray output = chain.toUtf8();
    // A file URL: a path with "://" in it is never taken for a network address. The opened
    // source, whatever holds its name now.
    const QByteArray input = QUrl::fromLocalFile(sourceInput()).toEncoded();

    QByteArray name;
    bool added = false;
    bool passEnded = false;
    for (int attempt = 1; ready && !m_stop && attempt <= 2; ++attempt)
    {
        QByteArray next = QByteArray::number(static_cast<qlonglong>(std::time(nullptr)));
        if (next == name)
            next += "-" + QByteArray::number(attempt);
        name = next;
        sendLog(QStringLiteral("media_name"));
        if (libvlc_vlm_add_broadcast(instance, name.constData(), input.constData(), output.constData(), 0, nullptr, 1, 1) != 0)
        {
            LOG_ERROR(L"libvlc_vlm_add_broadcast failed");
            break;
        }
        added = true;
        if (libvlc_vlm_play_media(instance, name.constData()) != 0)
        {
            LOG_ERROR(L"libvlc_vlm_play_media failed");
            break;
        }

        const qint64 begin = tickCount();
        qint64 lastRise = begin;
        float best = 0.0f;
        bool started = false;
        bool retry = false;
        while (!pause(kPollMs))
        {
            const float position = libvlc_vlm_get_media_instance_position(instance, name.constData(), 0);
            const qint64 now = tickCount();
            const bool atZero = std::fabs(static_cast<double>(position)) <= 1e-6;
            if (position > 0 && !started)
            {
                started = true;
                lastRise = now;
            }
            if (atZero && started)
            {
                passEnded = true;
                break;
            }
            if (!started && now - begin >= startWait)
            {
                if (attempt == 1)
                {
                    LOG_WARNING(L"the broadcast did not start within %lld ms, trying again", startWait);
                    libvlc_vlm_stop_media(instance, name.constData());
                    libvlc_vlm_del_media(instance, name.constData());
                    added = false;
                    retry = true;
                }
                else
                    LOG_ERROR(L"the broadcast did not start: libvlc could not open or play the source %s", source);
                break;
            }
            if (started && position > best)
            {
                best = position;
                lastRise = now;
            }
            else if (started && now - lastRise >= stallWait)
            {
                LOG_ERROR(L"the broadcast made no progress for %lld ms (position %f)", now - lastRise, static_cast<double>(position));
                break;
            }
            // "100" is kept for the finished output.
            const int percent = qBound(0, static_cast<int>(position * 100.0f), 99);
            if (!sendMessage(2, QString::number(percent)))
                m_stop = true;
        }
        if (!retry)
            break;
    }

    if (added)
    {
        libvlc_vlm_stop_media(instance, name.constData());
        // Deleting closes the output; with the file flag it is enciphered now.
        if (libvlc_vlm_del_media(instance, name.constData()) == 0)
            result = passEnded;
        else if (passEnded)
            LOG_ERROR(L"the encrypted output could not be written: %s", platform::vlmFileError(instance));
        const platform::VlmFullFolder full = platform::vlmFullFolder(instance);
        if (full == platform::VlmFullFolder::Work)
            m_fullFolder = FullFolder::Work;
        else if (full == platform::VlmFullFolder::Destination)
            m_fullFolder = FullFolder::Output;
    }
    vlcLog.detach();
    libvlc_vlm_release(instance);
    libvlc_release(instance);
    vlcLog.finish();
    if (result)
    {
        struct stat st;
        if (::stat(fsPath(destPath).constData(), &st) != 0 || st.st_size == 0)
        {
            LOG_ERROR(L"no output at %s", destPath);
            result = false;
        }
        else if (::stat(fsPath(indexPath).constData(), &st) != 0)
        {
            LOG_ERROR(L"no index file at %s", indexPath);
            result = false;
        }
    }
    result = result && !m_stop;
    // Only now, with the encrypted output and its index in place.
    if (result)
        sendMessage(2, QStringLiteral("100"));
    return result;
}

QString Ostrel::readKeyFromStdin()
{
    QThread::msleep(10);
    // One line, waited for at most kKeyTimeoutMs: a main program that never writes can't hang the run.
    std::string line;
    const qint64 deadline = tickCount() + kKeyTimeoutMs;
    for (;;)
    {
        const qint64 left = deadline - tickCount();
        pollfd p {STDIN_FILENO, POLLIN, 0};
        const int r = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
        {
            LOG_ERROR(L"no key line on standard input in time");
            return QString();
        }
        char c;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n')
            break;
        if (line.size() > 4096)
            return QString();
        line += c;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return QString::fromUtf8(CStringHelp::base64Decode(line).c_str());
}
