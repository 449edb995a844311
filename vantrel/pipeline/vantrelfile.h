#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QObject>
#include <QString>

#include "qiniu.h"
#include "qvalue.h"

// Receiver of the per-chunk notifications of one put: turns them into a percentage and rewrites
// the ".progress" resume file at each finished 4 MiB block (and at each chunk of the last block).
// Beside it, in "<md5>.proof", it keeps what proves each recorded block: its ctx and offset, the
// block's size and the SHA-1 of the bytes the server accepted for it, and the file they were
// read from (device, inode, size, modification time). A later put trusts a record only when the
// file is still that one and the local bytes still have that digest. Before the final step the
// same digests prove that what the server holds is the file as it is then.
class Qiniu_Rio_Recv : public QObject
{
    Q_OBJECT

public:
    explicit Qiniu_Rio_Recv(QObject *parent = nullptr);
    ~Qiniu_Rio_Recv() override;

    // Sizes the block array for a file of `fileSize` bytes; every block starts not done.
    void setFile(const QString &localFile, qint64 fileSize);
    // The local file as the put opened it: read through `fd` (the caller's, left open), noted as
    // `opened` on a file system of type `fsType`.
    void setOpened(int fd, const struct stat &opened, qint64 fsType);
    // Ends the long reads (the proof and the final check) early when it answers true.
    void setStopCheck(std::function<bool()> stopped);
    const QString &localFile() const;
    qint64 fileSize() const;
    int blockCount() const;
    Qiniu_Rio_BlkputRet *blocks();
    const Qiniu_Rio_BlkputRet &block(int index) const;
    // Copies the record (texts included) into block `index`; out of range is ignored.
    void setBlock(int index, const Qiniu_Rio_BlkputRet &record);
    int loadedCount() const;

    // Takes the blocks of a ".progress" document. False, with nothing taken, when it is not an
    // array of exactly blockCount() well-typed objects or a record lies beyond 4 MiB; a record
    // beyond the last block as it is now (the file shrank) is left out alone.
    bool loadProgress(const QValue &root);

    // Keeps the loaded records whose proof holds for the local file as it is now and drops the
    // others (no proof, another block size, other bytes), so that their blocks are sent again;
    // all of them when the proof is of another file, or of this one with another size or
    // modification time. Reads the proven part of the file; `stopped` ends that early (all left
    // are dropped). Returns the number of records kept.
    int proveProgress(const std::function<bool()> &stopped);
    bool isResumed(int blockIndex) const;

    // Whether the server holds the local file as it is now: the file is still the one opened,
    // with its size and modification time, the path still names it, and every block's digest of
    // the bytes the server took equals that of the block read again. `fileSize` is the size the
    // put went by. Reads the whole file.
    bool verifySent(int64_t fileSize);
    // Whether the opened file still has its size and modification time and the path still
    // names it (true when nothing was opened).
    bool unchanged() const;

    int notify(int blockIndex, int blockSize, const Qiniu_Rio_BlkputRet *blockResult);
    // The bytes of a chunk the server accepted, starting at `offset` in its block.
    int notifyChunk(int blockIndex, uint32_t offset, const char *data, size_t size);
    // A failed request of block `blockIndex` (-1: the final step).
    void notifyError(int blockIndex);
    // Block of the last failed request; kNoError when none failed.
    int lastErrorBlock() const;
    static constexpr int kNoError = -2;
    void notifyProgress(int percent);
    // The ".progress" content for `count` blocks: a compact JSON array.
    static QByteArray saveProgress(const Qiniu_Rio_BlkputRet *blocks, int count);
    static QValue progressJson(const Qiniu_Rio_BlkputRet *blocks, int count);
    void setProgressCallback(std::function<void(int)> callback);
    // "<md5>.proof" beside "<md5>.progress".
    static QString proofPath(const QString &progressPath);

    QString m_progressPath;

signals:
    void signal_progress(int percent);

private:
    struct Texts
    {
        std::string ctx;
        std::string checksum;
        std::string host;
    };
    // The running digest of the bytes the server holds for a block, from its start.
    struct Proof
    {
        std::shared_ptr<QCryptographicHash> digest;
        uint32_t bytes = 0;
        uint32_t blockSize = 0;  // as the block was begun at the server
        bool resumed = false;    // its record came from the ".progress" file and was proven
    };

    QValue proofJson() const;
    // The opened descriptor, else the path opened now (closed by closeRead); -1 when neither.
    int openRead() const;
    void closeRead(int fd) const;

    QString m_localFile;
    int m_fd = -1;
    bool m_hasOpened = false;
    struct stat m_opened {};
    qint64 m_fsType = 0;
    std::function<bool()> m_stopped;
    qint64 m_fileSize = 0;
    int m_blockCount = 0;
    std::vector<Qiniu_Rio_BlkputRet> m_blocks;
    std::vector<Texts> m_texts;
    int m_loadedCount = 0;
    std::vector<Proof> m_proofs;
    int m_lastErrorBlock = kNoError;
    std::function<void(int)> m_progressCallback;
};

// Uploads one file, or every file of one folder, to the cloud storage on a thread of its own,
// keeping a ".progress" file per file so that a later attempt resumes it. One upload per object.
class VantrelFile : public QObject
{
    Q_OBJECT

public:
    explicit VantrelFile(QObject *parent = nullptr);
    // Stops a running upload and waits for its thread.
    ~VantrelFile() override;

    void setToken(const std::string &token);
    void startUploadVep(const QString &localFile, const QString &key);
    void startUploadDir(const QString &dir);

    bool isSuccess() const;
    bool isFinished() const;
    int progress() const;
    std::wstring errorString() const;
    bool sleep(int ms);
    // Ends the upload soon (between chunks or inside a request); the uploader then reports
    // neither success nor finished.
    void stop();

    // "<data path><md5 of "morvantelixa:<key>:<local path>">.progress".
    static QString progressPath(const QString &key, const QString &localFile);
    // "上传文件失败 <code>:" and the code's text (nothing for an unknown code).
    static QString errorText(int code);
    // The failure of a put whose file changed while it went up.
    static QString changedText(const QString &localFile);
    // The result rule of a put: true on success; sets the error text otherwise and deletes the
    // ".progress" file (and its proof) on success and for 701 and 9901.
    bool checkResult(int code, const QString &message, const QString &progressPath);
    // Deletes the ".progress" file and its proof.
    static void removeProgress(const QString &progressPath);
    // Fills the receiver from the ".progress" file of key and local file; a malformed file is
    // deleted and the put starts fresh.
    void loadProgress(Qiniu_Rio_Recv *recv, const QString &localFile, const QString &key);

public slots:
    void onProgress(int value);

signals:
    // Each progress step the uploader takes (from the upload thread).
    void signal_progress(int percent);

private:
    void start(std::function<void()> body);
    void runUpload(const std::function<void()> &body);
    // Thread bodies: throw on failure (runUpload turns that into the result).
    void uploadVep(const QString &localFile, const QString &key);
    void uploadDir(const QString &dir);
    void putFile(const QString &localFile, const QString &key, bool reportProgress);
    std::unique_ptr<Qiniu_Rio_Recv> makeReceiver(const QString &localFile, const QString &key, int fd,
                                                 const struct stat &opened, qint64 fsType);
    void setErrorText(const QString &text);
    void setProgress(int value);

    static int onNotify(void *recvr, int blkIdx, int blkSize, Qiniu_Rio_BlkputRet *ret);
    static int onNotifyErr(void *recvr, int blkIdx, int blkSize, Qiniu_Error err);
    static int onNotifyChunk(void *recvr, int blkIdx, uint32_t offset, const char *data, size_t size);
    static int onVerify(void *recvr, int64_t fileSize);

    Qiniu_Client m_client;
    std::string m_token;
    mutable std::mutex m_errorMutex;
    QString m_errorText;
    std::unique_ptr<std::thread> m_thread;
    std::atomic<int> m_progress {0};
    std::atomic<bool> m_success {false};
    std::atomic<bool> m_finished {false};
    std::atomic<bool> m_stop {false};
};
