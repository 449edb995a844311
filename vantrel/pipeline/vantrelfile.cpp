#include "vantrelfile.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "cglobal.h"
#include "cstringhelp.h"
#include "logger.h"
#include "qjsonfile.h"
#include "qplatformhosts.h"
#include "qsourcefile.h"
#include "qtutils.h"
#include "qvalue.h"
#include "uexception.h"

namespace
{
    const char *const kBucket = "morvantelixa";
    // A ".progress" file holds a few short texts per block; anything far larger is not one.
    constexpr qint64 kProgressBytesPerBlock = 4096;

    // A 32-bit word written as a signed number (older writers may have used unsigned).
    bool word(const QValue &object, const char *name, int32_t &out)
    {
        const QValue &value = object[name];
        if (value.isNull())
        {
            out = 0;
            return true;
        }
        if (!value.isIntegral())
            return false;
        if (value.isInt())
        {
            out = value.asInt();
            return true;
        }
        if (value.isUInt())
        {
            out = static_cast<int32_t>(value.asUInt());
            return true;
        }
        return false;
    }

    QString dataFolder()
    {
        const QString path = CGlobal::dataPath();
        return path.isEmpty() ? CGlobal::defaultDataPath() : path;
    }

    qint64 blockSizeAt(qint64 fileSize, int index)
    {
        return qBound<qint64>(0, fileSize - qint64(index) * Qiniu_Rio_BlockSize, Qiniu_Rio_BlockSize);
    }

    // Running SHA-1 of `size` bytes of the file at `fd` from `start`; null when they can't be
    // read or `stopped`.
    std::shared_ptr<QCryptographicHash> digestAt(int fd, qint64 start, qint64 size, const std::function<bool()> &stopped)
    {
        constexpr qint64 kPiece = 1024 * 1024;
        auto digest = std::make_shared<QCryptographicHash>(QCryptographicHash::Sha1);
        std::vector<char> piece(size_t(qBound<qint64>(1, size, kPiece)));
        for (qint64 done = 0; done < size;)
        {
            if (stopped && stopped())
                return nullptr;
            const ssize_t got = ::pread(fd, piece.data(), size_t(qMin(kPiece, size - done)), off_t(start + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return nullptr;
            digest->addData(piece.data(), int(got));
            done += got;
        }
        return digest;
    }

    // The local file of one put, opened once: what is sent and what is checked at the end are
    // read from the same file, whatever the path names meanwhile.
    class OpenedFile
    {
    public:
        explicit OpenedFile(const QString &path)
        {
            const QByteArray native = QFile::encodeName(path);
            // Not through a link, and no wait on a FIFO put in its place.
            m_fd = native.isEmpty() ? -1 : ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
            if (m_fd < 0)
            {
                m_error = QString::fromLocal8Bit(std::strerror(errno));
                return;
            }
            if (::fstat(m_fd, &m_stat) != 0 || !S_ISREG(m_stat.st_mode))
            {
                m_error = QStringLiteral("not a regular file");
                ::close(m_fd);
                m_fd = -1;
                return;
            }
            ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
            m_fsType = fileSystemTypeOf(m_fd);
        }
        ~OpenedFile()
        {
            if (m_fd >= 0)
                ::close(m_fd);
        }
        OpenedFile(const OpenedFile &) = delete;
        OpenedFile &operator=(const OpenedFile &) = delete;

        int fd() const { return m_fd; }
        const struct stat &state() const { return m_stat; }
        qint64 fsType() const { return m_fsType; }
        const QString &error() const { return m_error; }

    private:
        int m_fd = -1;
        struct stat m_stat {};
        qint64 m_fsType = 0;
        QString m_error;
    };

    // A put refused by the server in a way that sending the file anew may mend: a refusal
    // (4xx, 6xx, 701) of the final step or of a block taken from a resume record, or records
    // that don't fit the file. Unavailable servers (5xx), transport and local failures and a
    // failed callback (579) are not.
    bool mendedByAFreshStart(int code, const Qiniu_Rio_Recv &recv)
    {
        if (code == Qiniu_Code_BadProgress)
            return true;
        const bool refusal = (code >= 400 && code < 500) || (code >= 600 && code < 1000);
        if (!refusal)
            return false;
        const int block = recv.lastErrorBlock();
        return block == -1 || (block >= 0 && recv.isResumed(block));
    }
}

// ---- Qiniu_Rio_Recv ----------------------------------------------------------------------

Qiniu_Rio_Recv::Qiniu_Rio_Recv(QObject *parent)
    : QObject(parent)
{
}

Qiniu_Rio_Recv::~Qiniu_Rio_Recv() = default;

void Qiniu_Rio_Recv::setFile(const QString &localFile, qint64 fileSize)
{
    m_localFile = localFile;
    m_fileSize = fileSize < 0 ? 0 : fileSize;
    m_blockCount = Qiniu_Rio_BlockCount(m_fileSize);
    m_blocks.assign(size_t(m_blockCount), Qiniu_Rio_BlkputRet());
    m_texts.assign(size_t(m_blockCount), Texts());
    m_proofs.assign(size_t(m_blockCount), Proof());
    m_loadedCount = 0;
    m_lastErrorBlock = kNoError;
}

void Qiniu_Rio_Recv::setOpened(int fd, const struct stat &opened, qint64 fsType)
{
    m_fd = fd;
    m_opened = opened;
    m_fsType = fsType;
    m_hasOpened = true;
}

void Qiniu_Rio_Recv::setStopCheck(std::function<bool()> stopped)
{
    m_stopped = std::move(stopped);
}

int Qiniu_Rio_Recv::openRead() const
{
    if (m_fd >= 0)
        return m_fd;
    const QByteArray native = QFile::encodeName(m_localFile);
    return native.isEmpty() ? -1 : ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
}

void Qiniu_Rio_Recv::closeRead(int fd) const
{
    if (fd >= 0 && fd != m_fd)
        ::close(fd);
}

const QString &Qiniu_Rio_Recv::localFile() const
{
    return m_localFile;
}

qint64 Qiniu_Rio_Recv::fileSize() const
{
    return m_fileSize;
}

int Qiniu_Rio_Recv::blockCount() const
{
    return m_blockCount;
}

Qiniu_Rio_BlkputRet *Qiniu_Rio_Recv::blocks()
{
    return m_blocks.empty() ? nullptr : m_blocks.data();
}

const Qiniu_Rio_BlkputRet &Qiniu_Rio_Recv::block(int index) const
{
    static const Qiniu_Rio_BlkputRet none;
    if (index < 0 || index >= m_blockCount)
        return none;
    return m_blocks[size_t(index)];
}

void Qiniu_Rio_Recv::setBlock(int index, const Qiniu_Rio_BlkputRet &record)
{
    if (index < 0 || index >= m_blockCount)
        return;
    Texts &texts = m_texts[size_t(index)];
    Qiniu_Rio_BlkputRet &block = m_blocks[size_t(index)];
    if (!record.ctx)
    {
        texts = Texts();
        block = Qiniu_Rio_BlkputRet();
        return;
    }
    // Copy first: the record may point into this block's own texts.
    Texts copy {record.ctx, record.checksum ? record.checksum : "", record.host ? record.host : ""};
    texts = std::move(copy);
    block.ctx = texts.ctx.c_str();
    block.checksum = texts.checksum.c_str();
    block.host = texts.host.c_str();
    block.crc32 = record.crc32;
    block.offset = record.offset;
}

int Qiniu_Rio_Recv::loadedCount() const
{
    return m_loadedCount;
}

bool Qiniu_Rio_Recv::loadProgress(const QValue &root)
{
    if (!root.isArray() || int(root.size()) != m_blockCount)
        return false;

    struct Entry
    {
        bool done = false;
        Texts texts;
        int32_t crc32 = 0;
        int32_t offset = 0;
    };
    std::vector<Entry> entries(static_cast<size_t>(m_blockCount));
    for (int i = 0; i < m_blockCount; ++i)
    {
        const QValue &element = root[Json::ArrayIndex(i)];
        if (!element.isObject())
            return false;
        Entry &e = entries[size_t(i)];
        if (!jsonOptionalString(element, QStringLiteral("ctx"), e.texts.ctx)
            || !jsonOptionalString(element, QStringLiteral("checksum"), e.texts.checksum)
            || !jsonOptionalString(element, QStringLiteral("host"), e.texts.host) || !word(element, "crc32", e.crc32)
            || !word(element, "offset", e.offset))
            return false;
        if (e.offset <= 0)
            continue;
        if (e.offset > Qiniu_Rio_BlockSize)
            return false;
        // Beyond the last block as it is now: the file shrank since; that record alone goes.
        if (e.offset > blockSizeAt(m_fileSize, i))
        {
            LOG_INFO(L"resume record of block %d dropped, sent again: the block is shorter now", i);
            continue;
        }
        e.done = true;
    }

    for (int i = 0; i < m_blockCount; ++i)
    {
        const Entry &e = entries[size_t(i)];
        if (!e.done)
            continue;
        Qiniu_Rio_BlkputRet record;
        record.ctx = e.texts.ctx.c_str();
        record.checksum = e.texts.checksum.c_str();
        record.host = e.texts.host.c_str();
        record.crc32 = static_cast<uint32_t>(e.crc32);
        record.offset = static_cast<uint32_t>(e.offset);
        setBlock(i, record);
    }
    m_loadedCount = m_blockCount;
    return true;
}

int Qiniu_Rio_Recv::proveProgress(const std::function<bool()> &stopped)
{
    m_proofs.assign(size_t(m_blockCount), Proof());
    if (m_loadedCount == 0)
        return 0;

    QValue proof;
    const QString path = proofPath(m_progressPath);
    QFile proofFile(path);
    if (proofFile.size() <= (qint64(m_blockCount) + 1) * kProgressBytesPerBlock && proofFile.open(QIODevice::ReadOnly))
    {
        parseJson(proofFile.readAll(), proof, false);
        proofFile.close();
    }
    if (m_hasOpened)
    {
        // Records of a file that has been replaced, resized or written since are not resumed.
        const SourceIdentity noted = SourceIdentity::fromJson(jsonMember(std::as_const(proof), QStringLiteral("file")));
        if (!noted.matches(m_opened, m_fsType))
        {
            LOG_INFO(L"resume records of %s dropped, the file is sent again whole: they are of %s, the file is %s",
                     m_localFile, noted.text(), SourceIdentity::ofOpened(m_opened, m_fsType).text());
            for (int i = 0; i < m_blockCount; ++i)
                setBlock(i, Qiniu_Rio_BlkputRet());
            m_loadedCount = 0;
            return 0;
        }
    }
    const QValue &entries = jsonMember(std::as_const(proof), QStringLiteral("blocks"));
    const int local = openRead();
    const bool readable = local >= 0;

    int kept = 0;
    for (int i = 0; i < m_blockCount; ++i)
    {
        const Qiniu_Rio_BlkputRet &block = m_blocks[size_t(i)];
        if (!block.ctx)
            continue;
        const qint64 size = blockSizeAt(m_fileSize, i);
        const QValue &entry = jsonAt(entries, i);
        std::string ctx;
        std::string sha1;
        std::shared_ptr<QCryptographicHash> digest;
        QString reason;
        if (!entry.isObject())
            reason = QStringLiteral("nothing proves it");
        else if (!jsonOptionalString(entry, QStringLiteral("ctx"), ctx) || ctx != block.ctx
                 || jsonInt64(jsonMember(entry, QStringLiteral("offset")), -1) != qint64(block.offset))
            reason = QStringLiteral("its proof is of another record");
        else if (jsonInt64(jsonMember(entry, QStringLiteral("size")), -1) != size)
            reason = QStringLiteral("the block had %1 bytes, now %2")
                         .arg(jsonInt64(jsonMember(entry, QStringLiteral("size")), -1))
                         .arg(size);
        else if (!jsonOptionalString(entry, QStringLiteral("sha1"), sha1) || sha1.empty())
            reason = QStringLiteral("its proof has no digest");
        else if (!readable)
            reason = QStringLiteral("the file cannot be read");
        else
        {
            digest = digestAt(local, qint64(i) * Qiniu_Rio_BlockSize, block.offset, stopped);
            if (!digest)
                reason = QStringLiteral("its bytes cannot be read");
            else if (digest->result().toHex() != QByteArray::fromStdString(sha1))
                reason = QStringLiteral("its bytes changed");
        }
        if (!reason.isEmpty())
        {
            LOG_INFO(L"resume record of block %d dropped, sent again: %s", i, reason);
            setBlock(i, Qiniu_Rio_BlkputRet());
            continue;
        }
        Proof &p = m_proofs[size_t(i)];
        p.digest = digest;
        p.bytes = block.offset;
        p.blockSize = uint32_t(size);
        p.resumed = true;
        ++kept;
    }
    closeRead(local);
    if (kept == 0)
        m_loadedCount = 0;
    return kept;
}

bool Qiniu_Rio_Recv::unchanged() const
{
    if (!m_hasOpened)
        return true;
    struct stat now {};
    if (m_fd < 0 || ::fstat(m_fd, &now) != 0)
    {
        LOG_ERROR(L"%s: the opened file cannot be looked at", m_localFile);
        return false;
    }
    if (now.st_size != m_opened.st_size || SourceIdentity::mtimeNsOf(now) != SourceIdentity::mtimeNsOf(m_opened))
    {
        LOG_ERROR(L"%s changed since the upload began: %d bytes modified %d ns, now %d bytes modified %d ns",
                  m_localFile, qint64(m_opened.st_size), SourceIdentity::mtimeNsOf(m_opened), qint64(now.st_size), SourceIdentity::mtimeNsOf(now));
        return false;
    }
    struct stat named {};
    const QByteArray native = QFile::encodeName(m_localFile);
    if (native.isEmpty() || ::lstat(native.constData(), &named) != 0 || !S_ISREG(named.st_mode)
        || named.st_dev != m_opened.st_dev || named.st_ino != m_opened.st_ino)
    {
        LOG_ERROR(L"%s names another file now, or none, than when the upload began", m_localFile);
        return false;
    }
    return true;
}

bool Qiniu_Rio_Recv::verifySent(int64_t fileSize)
{
    if (!m_hasOpened || m_fd < 0)
    {
        LOG_ERROR(L"%s: nothing to check the sent bytes against", m_localFile);
        return false;
    }
    if (fileSize != qint64(m_opened.st_size) || Qiniu_Rio_BlockCount(fileSize) != m_blockCount)
    {
        LOG_ERROR(L"%s: %d bytes were sent, the file had %d when the upload began", m_localFile, qint64(fileSize),
                  qint64(m_opened.st_size));
        return false;
    }
    if (!unchanged())
        return false;
    for (int i = 0; i < m_blockCount; ++i)
    {
        const Proof &p = m_proofs[size_t(i)];
        const qint64 size = blockSizeAt(fileSize, i);
        if (!p.digest || qint64(p.bytes) != size)
        {
            LOG_ERROR(L"%s: the bytes sent for block %d are not known whole", m_localFile, i);
            return false;
        }
        const std::shared_ptr<QCryptographicHash> now = digestAt(m_fd, qint64(i) * Qiniu_Rio_BlockSize, size, m_stopped);
        if (!now)
        {
            LOG_ERROR(L"%s: block %d cannot be read again", m_localFile, i);
            return false;
        }
        if (now->result() != p.digest->result())
        {
            LOG_ERROR(L"%s: block %d changed after it was sent", m_localFile, i);
            return false;
        }
    }
    // Nothing written while it was read.
    return unchanged();
}

bool Qiniu_Rio_Recv::isResumed(int blockIndex) const
{
    return blockIndex >= 0 && blockIndex < m_blockCount && m_proofs[size_t(blockIndex)].resumed;
}

int Qiniu_Rio_Recv::notifyChunk(int blockIndex, uint32_t offset, const char *data, size_t size)
{
    if (blockIndex < 0 || blockIndex >= m_blockCount || !data)
        return 0;
    Proof &p = m_proofs[size_t(blockIndex)];
    if (offset == 0)
        p = Proof {std::make_shared<QCryptographicHash>(QCryptographicHash::Sha1), 0, 0, false};
    if (!p.digest || p.bytes != offset)
    {
        // Bytes of the block went by unseen: it can't be proven any more.
        p = Proof();
        return 0;
    }
    p.digest->addData(data, int(size));
    p.bytes += uint32_t(size);
    return 0;
}

void Qiniu_Rio_Recv::notifyError(int blockIndex)
{
    m_lastErrorBlock = blockIndex;
}

int Qiniu_Rio_Recv::lastErrorBlock() const
{
    return m_lastErrorBlock;
}

QString Qiniu_Rio_Recv::proofPath(const QString &progressPath)
{
    const QString suffix = QStringLiteral(".progress");
    QString stem = progressPath;
    if (stem.endsWith(suffix))
        stem.chop(suffix.size());
    return stem + QStringLiteral(".proof");
}

QValue Qiniu_Rio_Recv::proofJson() const
{
    QValue list(Json::arrayValue);
    for (int i = 0; i < m_blockCount; ++i)
    {
        const Qiniu_Rio_BlkputRet &b = m_blocks[size_t(i)];
        const Proof &p = m_proofs[size_t(i)];
        if (!b.ctx || !p.digest || p.bytes != b.offset || p.blockSize == 0)
        {
            list.append(QValue());
            continue;
        }
        QValue item(Json::objectValue);
        item["ctx"] = b.ctx;
        item["offset"] = Json::UInt(b.offset);
        item["size"] = Json::UInt(p.blockSize);
        item["sha1"] = p.digest->result().toHex().toStdString();
        list.append(item);
    }
    QValue root(Json::objectValue);
    root["blocks"] = list;
    if (m_hasOpened)
        root["file"] = SourceIdentity::ofOpened(m_opened, m_fsType).toJson();
    return root;
}

int Qiniu_Rio_Recv::notify(int blockIndex, int blockSize, const Qiniu_Rio_BlkputRet *blockResult)
{
    if (!blockResult || blockIndex < 0 || blockIndex >= m_blockCount)
        return 0;
    m_lastErrorBlock = kNoError;
    const qint64 done = qint64(blockIndex) * Qiniu_Rio_BlockSize + qint64(blockResult->offset);
    const int percent = m_fileSize > 0 ? int(qBound<qint64>(0, done * 100 / m_fileSize, 100)) : 100;
    notifyProgress(percent);

    if (m_progressPath.isEmpty())
        return 0;
    const bool blockFinished = blockResult->offset >= uint32_t(blockSize);
    if (!blockFinished && blockIndex != m_blockCount - 1)
        return 0;

    std::printf("Write block %d progress\n", blockIndex);
    std::fflush(stdout);
    setBlock(blockIndex, *blockResult);
    m_proofs[size_t(blockIndex)].blockSize = uint32_t(qMax(blockSize, 0));

    // The proof first: a record goes with the proof of its own ctx and offset, so whichever of
    // the two files a crash leaves behind, a record is never trusted on another one's proof.
    // A file that cannot be written only costs a later resume.
    QString error;
    if (!QJsonFile::write(proofPath(m_progressPath), proofJson(), false, &error))
        LOG_WARNING(L"cannot write %s: %s", proofPath(m_progressPath), error);
    if (!QJsonFile::write(m_progressPath, progressJson(blocks(), m_blockCount), false, &error))
        LOG_WARNING(L"cannot write %s: %s", m_progressPath, error);
    return 0;
}

void Qiniu_Rio_Recv::notifyProgress(int percent)
{
    if (m_progressCallback)
        m_progressCallback(percent);
    emit signal_progress(percent);
}

QByteArray Qiniu_Rio_Recv::saveProgress(const Qiniu_Rio_BlkputRet *blocks, int count)
{
    return toStyledByteArray(progressJson(blocks, count), false);
}

QValue Qiniu_Rio_Recv::progressJson(const Qiniu_Rio_BlkputRet *blocks, int count)
{
    QValue list(Json::arrayValue);
    for (int i = 0; blocks && i < count; ++i)
    {
        const Qiniu_Rio_BlkputRet &b = blocks[i];
        QValue item(Json::objectValue);
        if (b.ctx)
        {
            item["checksum"] = b.checksum ? b.checksum : "";
            item["crc32"] = Json::Int(static_cast<int32_t>(b.crc32));
            item["ctx"] = b.ctx;
            item["host"] = b.host ? b.host : "";
            item["offset"] = Json::Int(static_cast<int32_t>(b.offset));
        }
        else
        {
            item["checksum"] = QValue();
            item["crc32"] = 0;
            item["ctx"] = QValue();
            item["host"] = QValue();
            item["offset"] = 0;
        }
        list.append(item);
    }
    return list;
}

void Qiniu_Rio_Recv::setProgressCallback(std::function<void(int)> callback)
{
    m_progressCallback = std::move(callback);
}

// ---- VantrelFile -------------------------------------------------------------------------

VantrelFile::VantrelFile(QObject *parent)
    : QObject(parent)
{
    Qiniu_Global_Init(-1);
    Qiniu_Client_InitNoAuth(&m_client, 1024);
    Qiniu_Rio_Settings settings;
    settings.workers = 1;
    settings.chunkSize = 262144;
    Qiniu_Rio_SetSettings(&settings);
    Qiniu_Set_Upload_Host(QPlatformHosts::uploadHost().toUtf8().constData());
    Qiniu_Use_Zone_Huanan(1);
}

VantrelFile::~VantrelFile()
{
    m_stop = true;
    if (m_thread && m_thread->joinable())
        m_thread->join();
    Qiniu_Client_Cleanup(&m_client);
    Qiniu_Global_Cleanup();
}

void VantrelFile::setToken(const std::string &token)
{
    m_token = token;
}

void VantrelFile::startUploadVep(const QString &localFile, const QString &key)
{
    start([this, localFile, key] { uploadVep(localFile, key); });
}

void VantrelFile::startUploadDir(const QString &dir)
{
    start([this, dir] { uploadDir(dir); });
}

void VantrelFile::start(std::function<void()> body)
{
    if (m_thread)
    {
        LOG_ERROR(L"an uploader runs one upload");
        return;
    }
    m_success = false;
    m_finished = false;
    m_thread = std::make_unique<std::thread>([this, body] { runUpload(body); });
}

// The upload thread: nothing leaves it; a failure keeps its text for the row (a refused put
// has set it already). After a stop the uploader reports neither success nor finished.
void VantrelFile::runUpload(const std::function<void()> &body)
{
    bool ok = false;
    try
    {
        body();
        ok = true;
    }
    catch (const UException &e)
    {
        LOG_EXCEPTION(e);
        if (errorString().empty())
            setErrorText(e.qMessage());
    }
    catch (const std::exception &e)
    {
        LOG_ERROR(L"upload failed: %s", e.what());
    }
    catch (...)
    {
        LOG_ERROR(L"upload failed: unknown exception");
    }
    if (m_stop)
        return;
    m_success = ok;
    m_finished = true;
}

bool VantrelFile::isSuccess() const
{
    return m_success;
}

bool VantrelFile::isFinished() const
{
    return m_finished;
}

int VantrelFile::progress() const
{
    return m_progress;
}

std::wstring VantrelFile::errorString() const
{
    std::lock_guard<std::mutex> lock(m_errorMutex);
    return m_errorText.toStdWString();
}

bool VantrelFile::sleep(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return true;
}

void VantrelFile::stop()
{
    m_stop = true;
}

void VantrelFile::onProgress(int value)
{
    int stored = m_progress.load();
    while (value > stored)
    {
        if (m_progress.compare_exchange_weak(stored, value))
        {
            emit signal_progress(value);
            return;
        }
    }
}

void VantrelFile::setProgress(int value)
{
    m_progress = value;
    emit signal_progress(value);
}

void VantrelFile::setErrorText(const QString &text)
{
    std::lock_guard<std::mutex> lock(m_errorMutex);
    m_errorText = text;
}

void VantrelFile::uploadVep(const QString &localFile, const QString &key)
{
    LOG_DEBUG(L"enter upload vep");
    putFile(localFile, key, true);
    if (m_progress < 100)
        setProgress(100);
}

void VantrelFile::uploadDir(const QString &dir)
{
    const QDir folder(dir);
    U_ASSERT_MSG(!dir.isEmpty() && folder.exists(), QStringLiteral("上传目录不存在：%1").arg(dir));
    const QFileInfoList entries = folder.entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    U_ASSERT_MSG(!entries.isEmpty(), QStringLiteral("上传目录为空：%1").arg(dir));
    const int count = entries.size();
    for (int i = 0; i < count; ++i)
    {
        U_ASSERT_MSG(!m_stop, QStringLiteral("上传已停止"));
        putFile(entries[i].absoluteFilePath(), entries[i].fileName(), false);
        setProgress(i * 100 / count);
    }
    setProgress(100);
}

void VantrelFile::putFile(const QString &localFile, const QString &key, bool reportProgress)
{
    LOG_DEBUG(L"qiniu upload :%s", localFile);
    U_ASSERT_MSG(QFileInfo(localFile).isFile(), QStringLiteral("文件不存在 %1").arg(localFile));
    const OpenedFile opened(localFile);
    if (opened.fd() < 0)
    {
        LOG_ERROR(L"cannot open %s: %s", localFile, opened.error());
        throw UException("opened.fd() >= 0", QStringLiteral("无法读取文件 %1").arg(localFile), __FILE__, __LINE__);
    }

    const QByteArray keyBytes = key.toUtf8();
    const QByteArray pathBytes = localFile.toUtf8();
    for (int attempt = 1;; ++attempt)
    {
        std::unique_ptr<Qiniu_Rio_Recv> recv = makeReceiver(localFile, key, opened.fd(), opened.state(), opened.fsType());
        Qiniu_Rio_PutExtra extra;
        extra.notifyRecvr = recv.get();
        extra.notify = &VantrelFile::onNotify;
        extra.notifyErr = &VantrelFile::onNotifyErr;
        extra.notifyChunk = &VantrelFile::onNotifyChunk;
        extra.verify = &VantrelFile::onVerify;
        extra.localFd = opened.fd();
        if (recv->loadedCount() > 0)
        {
            extra.progresses = recv->blocks();
            extra.progressesCount = size_t(recv->loadedCount());
        }
        extra.stop = &m_stop;
        if (reportProgress)
            recv->setProgressCallback([this](int percent) { onProgress(percent); });

        Qiniu_Rio_PutRet ret;
        const Qiniu_Error error = Qiniu_Rio_PutFile(&m_client, &ret, m_token.c_str(), keyBytes.constData(),
                                                    pathBytes.constData(), &extra);
        const QString message = QString::fromUtf8(error.message ? error.message : "");
        // A file written, resized or replaced while it went up: whatever the server answered, it
        // may hold a mix; the resume state is of that mix, so the next attempt starts over.
        if (!m_stop && error.code != Qiniu_Code_Stopped
            && (error.code == Qiniu_Code_FileChanged || !recv->unchanged()))
        {
            LOG_ERROR(L"%s changed while it was uploaded (%d: %s), its resume state goes", localFile, error.code, message);
            removeProgress(recv->m_progressPath);
            const QString text = changedText(localFile);
            setErrorText(text);
            throw UException("recv->unchanged()", text, __FILE__, __LINE__);
        }
        if (checkResult(error.code, message, recv->m_progressPath))
        {
            // The server's hash is its own: kept as it came, for the log.
            LOG_DEBUG(L"uploaded %s as %s, hash %s", localFile, QString::fromStdString(ret.key),
                      QString::fromStdString(ret.hash));
            return;
        }
        // What the server holds of an earlier run no longer fits: once more, from the start.
        if (attempt == 1 && !m_stop && mendedByAFreshStart(error.code, *recv))
        {
            LOG_WARNING(L"upload of %s refused (%d: %s), sending it again from the start", localFile, error.code,
                        message);
            removeProgress(recv->m_progressPath);
            setErrorText(QString());
            continue;
        }
        throw UException("checkResult(error.code, message, recv->m_progressPath)",
                         QString::fromStdWString(errorString()), __FILE__, __LINE__);
    }
}

std::unique_ptr<Qiniu_Rio_Recv> VantrelFile::makeReceiver(const QString &localFile, const QString &key, int fd,
                                                         const struct stat &opened, qint64 fsType)
{
    auto recv = std::make_unique<Qiniu_Rio_Recv>();
    recv->setFile(localFile, qint64(opened.st_size));
    recv->setOpened(fd, opened, fsType);
    recv->setStopCheck([this] { return m_stop.load(); });
    loadProgress(recv.get(), localFile, key);
    recv->proveProgress([this] { return m_stop.load(); });
    return recv;
}

void VantrelFile::loadProgress(Qiniu_Rio_Recv *recv, const QString &localFile, const QString &key)
{
    recv->m_progressPath = progressPath(key, localFile);
    const QFileInfo info(recv->m_progressPath);
    if (!info.exists())
        return;
    // Not JSON at all: kept aside as "<name>.bad", in place of an earlier one, so that a file
    // damaged again and again leaves one copy. JSON that doesn't fit this file (a changed file,
    // wrong types, too large) is deleted. Either way the put starts fresh.
    const qint64 limit = (qint64(recv->blockCount()) + 1) * kProgressBytesPerBlock;
    QValue root;
    bool fits = info.size() <= limit;
    if (fits)
    {
        QFile file(recv->m_progressPath);
        if (!file.open(QIODevice::ReadOnly))
        {
            LOG_WARNING(L"unreadable resume file, starting over: %s", file.errorString());
            return;
        }
        const QByteArray content = file.read(limit + 1);
        file.close();
        if (!parseJson(content, root, false))
        {
            const QString aside = recv->m_progressPath + QStringLiteral(".bad");
            LOG_WARNING(L"damaged resume file kept as %s, starting over", aside);
            if (std::rename(QFile::encodeName(recv->m_progressPath).constData(), QFile::encodeName(aside).constData()) != 0)
                QFile::remove(recv->m_progressPath);
            QFile::remove(Qiniu_Rio_Recv::proofPath(recv->m_progressPath));
            return;
        }
        fits = recv->loadProgress(root);
    }
    if (!fits)
    {
        LOG_WARNING(L"resume file does not fit, starting over: %s", recv->m_progressPath);
        removeProgress(recv->m_progressPath);
    }
}

QString VantrelFile::progressPath(const QString &key, const QString &localFile)
{
    const std::string text = std::string(kBucket) + ":" + key.toStdString() + ":" + localFile.toStdString();
    return dataFolder() + QString::fromStdString(CStringHelp::md5(text)) + QStringLiteral(".progress");
}

QString VantrelFile::changedText(const QString &localFile)
{
    return QStringLiteral("上传期间文件被修改，请重新上传：%1").arg(localFile);
}

QString VantrelFile::errorText(int code)
{
    static const struct
    {
        int code;
        const char *text;
    } texts[] = {
        {400, "请求报文格式错误"},
        {401, "认证授权失败"},
        {403, "权限不足，拒绝访问"},
        {405, "请求方式错误"},
        {406, "上传的数据 CRC32 校验错误"},
        {413, "请求资源大小大于指定的最大值"},
        {419, "用户账号被冻结"},
        {478, "镜像回源失败"},
        {502, "错误网关"},
        {503, "服务端不可用"},
        {504, "服务端操作超时"},
        {573, "单个资源访问频率过高"},
        {599, "服务端操作失败"},
        {608, "资源内容被修改"},
        {612, "指定资源不存在或已被删除"},
        {614, "目标资源已存在"},
        {630, "已创建的空间数量达到上限，无法创建新空间。"},
        {631, "指定空间不存在"},
        {640, "调用列举资源(list)接口时，指定非法的marker参数"},
        {701, "在断点续传的过程中，后续上传接收地址不正确"},
        {9901, "上传进度文件已损坏，请重新上传！"},
        // Failures of the upload layer itself, before any answer.
        {Qiniu_Code_Transport, "无法连接上传服务器"},
        {Qiniu_Code_Stopped, "上传已停止"},
        {Qiniu_Code_LocalFile, "读取本地文件失败"},
        {Qiniu_Code_NoHost, "未配置上传服务器"},
        {Qiniu_Code_BadAnswer, "上传服务器返回的数据无效"},
    };
    QString text = QStringLiteral("上传文件失败 %1:").arg(code);
    for (const auto &entry : texts)
    {
        if (entry.code == code)
            return text + QString::fromUtf8(entry.text);
    }
    return text;
}

bool VantrelFile::checkResult(int code, const QString &message, const QString &progressPath)
{
    LOG_DEBUG(L"upload code:%d", code);
    bool result = false;
    if (code == 200)
        result = true;
    else
    {
        setErrorText(errorText(code));
        if (code == 579)
        {
            LOG_ERROR(message);
            // Not JSON leaves `body` null, and so no code.
            QValue body;
            parseJson(message.toUtf8(), body, false);
            const QValue &errCode = jsonMember(std::as_const(body), QStringLiteral("err_code"));
            result = errCode.isInt() && errCode.asInt() == 200;
        }
        else if (code == 701 || code == 9901)
            removeProgress(progressPath);
    }
    if (result)
        removeProgress(progressPath);
    return result;
}

void VantrelFile::removeProgress(const QString &progressPath)
{
    QFile::remove(progressPath);
    QFile::remove(Qiniu_Rio_Recv::proofPath(progressPath));
}

int VantrelFile::onNotify(void *recvr, int blkIdx, int blkSize, Qiniu_Rio_BlkputRet *ret)
{
    if (!recvr)
        return 0;
    return static_cast<Qiniu_Rio_Recv *>(recvr)->notify(blkIdx, blkSize, ret);
}

int VantrelFile::onNotifyErr(void *recvr, int blkIdx, int blkSize, Qiniu_Error err)
{
    LOG_ERROR(L"upload notify error: %d---%s", err.code, QString::fromUtf8(err.message ? err.message : ""));
    if (recvr)
        static_cast<Qiniu_Rio_Recv *>(recvr)->notifyError(blkIdx);
    return 0;
}

int VantrelFile::onNotifyChunk(void *recvr, int blkIdx, uint32_t offset, const char *data, size_t size)
{
    if (!recvr)
        return 0;
    return static_cast<Qiniu_Rio_Recv *>(recvr)->notifyChunk(blkIdx, offset, data, size);
}

int VantrelFile::onVerify(void *recvr, int64_t fileSize)
{
    if (!recvr)
        return 1;
    return static_cast<Qiniu_Rio_Recv *>(recvr)->verifySent(fileSize) ? 0 : 1;
}
