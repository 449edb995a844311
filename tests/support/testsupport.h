#pragma once

#include <functional>

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace testsupport
{
    // Folder of clips and other generated inputs shared by all tests of one build (ends with "/").
    QString cacheDir();

    // Makes (once per build) a clip with ffmpeg: `ffmpegArgs` are the arguments between
    // "-y" and the output path. Returns the path of the clip. Safe under parallel tests.
    QString makeClip(const QString &fileName, const QStringList &ffmpegArgs);

    // A few seconds of 320x240 H.264 video with AAC audio in MP4.
    QString clipH264Mp4();
    // MPEG-4 part 2 video in AVI.
    QString clipMpeg4Avi();
    // Audio only, MP3.
    QString clipMp3();
    // A single 320x240 H.264 frame with a second of AAC audio in MP4.
    QString clipSingleFrame();

    // A new empty folder under TMPDIR (ends with "/"); removed by the test wrapper.
    QString newTempDir();

    // A TCP port on 127.0.0.1 that was free a moment ago.
    quint16 freePort();

    // Processes Qt events until `done` is true or `timeoutMs` passes; returns `done()`.
    bool waitUntil(const std::function<bool()> &done, int timeoutMs);

    // Whole contents of a file (empty when it cannot be read).
    QByteArray readAll(const QString &path);
    bool writeAll(const QString &path, const QByteArray &data);

    // True while another process holds the main program's single-instance lock on the data
    // folder `data`.
    bool instanceLockHeldElsewhere(const QString &data);
}

namespace testsupport
{
    // A TCP server on 127.0.0.1 that takes every connection and never answers.
    class SilentServer
    {
    public:
        SilentServer();
        ~SilentServer();
        // False when it could not listen.
        bool listening() const;
        quint16 port() const;
        // Connections taken so far.
        int connections() const;

    private:
        struct Private;
        Private *d;
    };
}

namespace testsupport
{
    // Takes the read-only state (mode and immutable flag) off a folder again: 0700.
    void unlockFolder(const QString &folder);
    // Runs `work` in a forked child that ends with exit code 0 wherever `work` calls
    // childDone() (as a kill would end it there): the name of the entry of `folder` that the
    // child left, or empty when it left none or failed.
    QString leftByEndedChild(const QString &folder, const std::function<void()> &work);
    [[noreturn]] void childDone();
    // Makes a FIFO at `path` (a file there is replaced): a reader of it waits until feedFifo().
    bool makeFifo(const QString &path);
    // Writes `data` into the FIFO at `path` once a reader has opened it and closes it; false
    // when no reader comes within `timeoutMs`.
    bool feedFifo(const QString &path, const QByteArray &data, int timeoutMs);
    // Points HOME, TMPDIR and the XDG data, config and cache folders of this process, and so
    // of the children it starts, at new empty folders while it lives; the runtime folder stays.
    // A test that writes where the programs write then starts clean of the tests before it.
    class FreshFolders
    {
    public:
        FreshFolders();
        ~FreshFolders();
        FreshFolders(const FreshFolders &) = delete;
        FreshFolders &operator=(const FreshFolders &) = delete;

    private:
        QList<QPair<QByteArray, QByteArray>> m_saved;
    };

    // A small tmpfs mounted on a new folder for the length of a test, to have a real disk that
    // fills up. Mounting needs root (as in CI); where it is refused, why() says so.
    class Tmpfs
    {
    public:
        // `bytes` of room; the root folder gets `mode`.
        explicit Tmpfs(qint64 bytes, int mode = 0700);
        ~Tmpfs();
        Tmpfs(const Tmpfs &) = delete;
        Tmpfs &operator=(const Tmpfs &) = delete;

        bool mounted() const;
        QString why() const;
        // The mount point, ending with "/".
        QString path() const;
        // Takes every free byte but `leave` (into a hidden file ".filler" at the root); true when
        // exactly that much is left.
        bool fill(qint64 leave = 0);
        // Gives the room taken by fill() back.
        void release();
        qint64 freeBytes() const;

    private:
        QString m_path;
        QString m_why;
        bool m_mounted = false;
    };
}
