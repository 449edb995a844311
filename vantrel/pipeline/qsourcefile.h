#pragma once

#include <cstdint>

#include <QString>

#include <json/json.h>

struct stat;

// What a job's source file was when the job was added (or restored): the file that the job
// reads later must still be that one.
struct SourceIdentity
{
    bool known = false; // noted from a file that was there
    bool link = false;  // the path was a symbolic link then; the rest is its target's
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 mtimeNs = 0;
    qint64 fsType = 0; // statfs magic of the file system that held it
    QString mount;     // the mount that held it ("<boot id>:<mount id>"); empty when unknown

    // The file at `path` now. A link is noted only when `anyLink` or when it is the user's own;
    // another's link gives an unknown identity.
    static SourceIdentity of(const QString &path, bool anyLink = true);
    // The opened file `st`, on a file system of type `fsType` in the mount `mount`.
    static SourceIdentity ofOpened(const struct stat &st, qint64 fsType, const QString &mount = QString());
    // The modification time of `st` in nanoseconds.
    static qint64 mtimeNsOf(const struct stat &st);
    // Unknown when `value` is not an object with the members toJson() writes.
    static SourceIdentity fromJson(const Json::Value &value);
    Json::Value toJson() const;
    // Whether the opened file `st`, on a file system of type `fsType` in the mount `mount`, is
    // the noted one. Where both lie on file systems whose inode numbers don't survive a remount
    // (FAT, exFAT, FUSE, SMB), size and modification time decide, but only once the disk was
    // mounted again (another device, or another mount): on the same mount a new inode is
    // another file.
    bool matches(const struct stat &st, qint64 fsType, const QString &mount = QString()) const;
    // The mount that holds the open file `fd`, as noted in `mount`; empty when the system can't
    // tell one mount from the next (mount ids that are reused).
    static QString mountOf(int fd);
    // For the log.
    QString text() const;
};

// A job's source, opened for reading once it proved to be the noted file; closed with the
// object. The descriptor is close-on-exec: a child that is to read it gets it through
// QTiedProcess::keepOpen.
class QSourceFile
{
public:
    QSourceFile() = default;
    ~QSourceFile();
    QSourceFile(const QSourceFile &) = delete;
    QSourceFile &operator=(const QSourceFile &) = delete;

    // Opens `path` without following a link the identity does not note, and without blocking
    // on a FIFO. Throws UException "源视频文件不存在或无法读取" when there is no regular file
    // to read, and changedMessage() when the file there is not the noted one.
    void open(const QString &path, const SourceIdentity &identity);
    void close();
    bool isOpen() const;
    int fd() const;
    // "/proc/self/fd/<n>": the opened file, for this process or a child that keeps the descriptor.
    QString procPath() const;
    // "<device>:<inode>:<size>:<mtime ns>" as opened, for the encryption program's own check.
    QString openedText() const;
    // True when the opened file's size or modification time differs from what it was at open().
    bool changedSinceOpen() const;

    static QString changedMessage();

private:
    int m_fd = -1;
    quint64 m_device = 0;
    quint64 m_inode = 0;
    qint64 m_size = 0;
    qint64 m_mtimeNs = 0;
};
