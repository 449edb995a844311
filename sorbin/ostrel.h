#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include <sys/stat.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QThread>

#include "namedpipe.h"
#include "qdtavideo.h"
#include "qworkfolder.h"

// One run of the encryption program: reads the task, connects to the main program's pipe,
// writes the protected output under a temporary name (copy, stream cipher or frame
// encryption), appends the package block, renames it and reports over the pipe.
// The thread is never started: main() calls the operations directly.
//
// Command line: task JSON, key string, full pipe name. A key string of "-" means the key is
// read as one Base64 line from standard input. The key never reaches the log: its lines carry
// keyFingerprint() instead.
//
// Frame encryption waits in wall-clock time: a pass that never starts is given up after 31 s
// and tried once more, a started pass that makes no progress for 60 s fails. The environment
// variables SORBIN_START_WAIT_MS and SORBIN_STALL_WAIT_MS shorten these bounds (for tests).
// A source of fewer than 1000 video frames is encoded on one x264 thread (libvlc loses the frames
// of a clip shorter than x264's thread pipeline); one of a single frame is refused.
// The source is read through one descriptor, opened once: the one the main program hands down
// (SORBIN_SOURCE_FD, checked against SORBIN_SOURCE_ID, "<device>:<inode>:<size>:<mtime ns>"),
// else the file the task names. A source whose size or modification time changes meanwhile
// fails the run.
// Its plain transcode lives in a QWorkFolder of the user's data folder, removed when the run
// ends in any way but SIGKILL; the next run (or the main program's next start) sweeps what a
// killed one left.
class Ostrel : public QThread
{
    Q_OBJECT

public:
    explicit Ostrel(QObject *parent = nullptr);
    ~Ostrel() override;

    // `arguments` without the program name. False (after logging, and sending "failed" where a
    // pipe was named) when there are fewer than three or the key can't be had.
    bool parseArguments(const QStringList &arguments);
    bool startWork();

    virtual void stop();
    virtual void idle();

    // A termination signal: the loops end, the temporary files go, no further message waits
    // long for its reply. Safe from any thread.
    void stopOnSignal(int signal);
    // Removes the temporary output, the index and the private work folder at once; for a run
    // that is stuck and about to be ended. Safe from any thread.
    void cleanUpNow();

    // "%d:%s\n" (or "%d" without text), NUL included; delivered when the reply came back.
    bool sendMessage(int code, const QString &text = QString());
    // Status word of frame encryption (code 4).
    bool sendLog(const QString &word);
    // Sends the last message of a failed run (where a pipe is connected).
    void sendFailed();

    bool streamEncrypt(const QString &destPath, const QByteArray &keyText);
    bool encryptFrame(const QString &destPath, const QString &indexPath, const QByteArray &keyText);

    // Why the task must not run, empty when it may: a video key or file name that is no plain
    // name, a folder that is no absolute folder path, an output or temporary name that is the
    // source (by name, or by device and inode through any other path; once the source is open,
    // the opened file), or an encrypt type this program doesn't handle. Creates and removes nothing.
    QString taskRefusal() const;
    // Opens the source as the class comment says; why it can't be read, empty when it can.
    QString openSource();

    const QString &destPath() const;
    const QString &indexPath() const;
    const QDtaVideo &task() const;

    static QString md5Hex(const QString &text);
    // What the log shows of a key: the first 8 hex digits of its MD5, which can't be turned back.
    static QString keyFingerprint(const QByteArray &key);
    // Byte i of text XOR the low 8 bits of twice byte (i mod length) of mixing.
    static QByteArray mixKey(const QByteArray &text, const QByteArray &mixing);
    // -249..249 from the mixed key and the stream table; 185 for an empty key.
    static int keyNumber(const QByteArray &mixed);
    static int byteSum(uint32_t word);
    // The XOR byte of body block `block` (block = position / 1024).
    static uint8_t blockByte(int keyNumber, int64_t block);
    // One Base64 line from standard input, decoded as UTF-8.
    static QString readKeyFromStdin();

    static const uint32_t kStreamTable[16];
    static const int kHeaderSize = 2560;
    static const int kBlockSize = 1024;

private:
    bool connectPipe(const QString &pipeName);
    bool doWork();
    bool finishOutput();
    void removeTempFiles();
    // Sleeps up to ms; returns early, true, once the stop flag is set.
    bool pause(int ms);
    void setTempPaths(const QString &destPath, const QString &indexPath);
    bool copySource(const QString &destPath);
    // True when the opened source's size or modification time is no longer what it was.
    bool sourceChanged() const;
    // "/proc/self/fd/<n>" of the opened source: the same file for libvlc, whatever its name is now.
    QString sourceInput() const;
    // A write that failed for want of room in the output folder (errno), and, for any failure,
    // an output folder left without room; told on standard error for the main program.
    void noteWriteError(int error);
    void reportFullFolder();

    QString m_destPath;
    QString m_indexPath;
    std::atomic<bool> m_stop;
    std::atomic<bool> m_terminated;
    std::mutex m_waitMutex;
    std::condition_variable m_wake;
    // The temporary files as file-system paths, for cleanUpNow() on another thread.
    std::mutex m_tempMutex;
    std::string m_tempDest;
    std::string m_tempIndex;
    QWorkFolder m_work;
    enum class FullFolder { None, Output, Work };
    FullFolder m_fullFolder = FullFolder::None;
    QString m_keyString;
    QDtaVideo m_task;
    platform::NamedPipeClient m_pipe;
    int m_sourceFd = -1;
    struct stat m_sourceStat {};
};
