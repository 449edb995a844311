#pragma once

#include <functional>

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The hidden folder of one encryption run, ".vantrel-<job id>-XXXXXXXXXX" in the output folder,
// where sorbin writes its temporary and finished output.
//
// Others may write to the output folder, and disks such as FAT, exFAT, NTFS or network shares
// fix every mode and owner: a new folder counts as the one just made only by what any file system
// can prove. It is opened without following links, must be a folder on the output folder's
// device, of this user (or of the output folder's owner, where the disk gives every entry one
// owner), empty, and take a marker made with O_EXCL through the open folder; then its identity is
// noted in "runs.json" in the data folder (name, device, inode, and the random secret the marker
// holds) before the child starts. The child gets a path through the open folder
// ("/proc/<pid>/fd/<n>/") that no rename or link can redirect. Emptying and removal go through
// the open folder and check its identity first; only folders that prove to be the noted ones are
// ever removed, wherever in the output folder someone renamed them, never by name alone.
//
// The list also notes the identity of each output moved out of a run folder, so that a restart
// takes up only an output that is provably this job's. On disks that number their entries anew
// at each mount (FAT, exFAT, FUSE, SMB) a stick pulled and put back keeps neither: after such a
// remount a run folder is told by its marker's secret, an output by its name, size and time.
class QRunFolder
{
public:
    QRunFolder();
    ~QRunFolder();

    QRunFolder(const QRunFolder &) = delete;
    QRunFolder &operator=(const QRunFolder &) = delete;

    // Makes the run folder in `outputFolder` (ending with "/"); false when it can't be had,
    // `listUnwritable` then telling whether it was the list in the data folder that failed, and
    // `refused` whether every folder made was refused as not provably the one just made.
    bool create(const QString &outputFolder, qint64 jobId, bool *listUnwritable = nullptr, bool *refused = nullptr);
    // The path to hand to the child, ending with "/"; empty before create().
    QString childPath() const;
    // The run folder's name in the output folder.
    QString name() const;
    // The real folder behind childPath(), for the log: its path, device and inode.
    QString describe() const;
    // True when `name` is a regular file directly in the run folder (no link).
    bool holdsFile(const QString &name) const;
    // Moves the file `name` from the run folder to `target` in the output folder, never over
    // anything (false, errno EEXIST, when `target` is taken). Its identity is noted for the job
    // first, so that a restart knows it as this job's output (false, errno ECANCELED, when that
    // note can't be saved).
    bool moveOut(const QString &name, const QString &target);
    // True when the output folder's path no longer leads to the folder the run opened: its disk
    // was pulled, unmounted (also lazily) or mounted again, or the folder was moved away.
    bool outputFolderLost() const;
    // Keeps the folder and what it holds: neither this object nor a sweep removes it.
    void keep();
    // Empties and removes the run folder and forgets it. Safe more than once.
    void remove();

    // Removes the run folders noted for `jobId` (every job when negative) that no QRunFolder of
    // this process holds: those of runs a kill ended. For every job, it also forgets the noted
    // outputs that are no longer where they were noted.
    static void sweep(qint64 jobId = -1);
    // "runs.json" in the data folder.
    static QString registryPath();

    // Notes the entry `name` of `folder` (ending with "/") as the output of `jobId`.
    static bool noteOutput(qint64 jobId, const QString &folder, const QString &name);
    // The path of the noted output of `jobId` in `folder` when what has that name is that very
    // file (a regular file of this user, of the noted identity); empty otherwise.
    static QString ownOutput(qint64 jobId, const QString &folder);
    static void forgetOutput(qint64 jobId);

    // Tests: called in create() right after the folder is made ("made") and right after it is
    // opened ("opened"), with the open output folder and the folder's name.
    using Hook = std::function<void(const char *moment, int outputFd, const QByteArray &name)>;
    static void setHookForTests(Hook hook);
    // Tests: every disk is taken as one that gives every entry its mode and owner.
    static void setModesFixedForTests(bool fixed);

private:
    int m_outputFd;
    int m_fd;
    bool m_kept;
    QString m_outputFolder;
    QString m_name;
    QByteArray m_secret;
    QString m_mount;
    qint64 m_jobId;
    quint64 m_dev;
    quint64 m_ino;
};
