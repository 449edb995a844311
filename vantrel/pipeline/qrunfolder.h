#pragma once

#include <QString>
#include <QtGlobal>

// The hidden folder of one encryption run, ".vantrel-<job id>-XXXXXX" in the output folder,
// where sorbin writes its temporary and finished output.
//
// Others may write to the output folder: the run folder is made without following links and
// kept open, the child gets a path through that open folder ("/proc/<pid>/fd/<n>/") that no
// rename or link can redirect, and the output's move and the clean-up work relative to the open
// folders. What this program made is noted in "runs.json" in the data folder (name, device,
// inode, and a random secret that a marker file in the folder holds) before the child starts;
// only folders that prove to be the noted ones are ever removed, never by name alone.
class QRunFolder
{
public:
    QRunFolder();
    ~QRunFolder();

    QRunFolder(const QRunFolder &) = delete;
    QRunFolder &operator=(const QRunFolder &) = delete;

    // Makes the run folder in `outputFolder` (ending with "/"); false when it can't be had,
    // `listUnwritable` then telling whether it was the list in the data folder that failed.
    bool create(const QString &outputFolder, qint64 jobId, bool *listUnwritable = nullptr);
    // The path to hand to the child, ending with "/"; empty before create().
    QString childPath() const;
    // The run folder's name in the output folder.
    QString name() const;
    // True when `name` is a regular file directly in the run folder (no link).
    bool holdsFile(const QString &name) const;
    // Moves `name` from the run folder to `target` in the output folder, never over a file.
    bool moveOut(const QString &name, const QString &target);
    // Empties and removes the run folder and forgets it. Safe more than once.
    void remove();

    // Removes the run folders noted for `jobId` (every job when negative) that no QRunFolder of
    // this process holds: those of runs a kill ended.
    static void sweep(qint64 jobId = -1);
    // "runs.json" in the data folder.
    static QString registryPath();

private:
    int m_outputFd;
    int m_fd;
    QString m_outputFolder;
    QString m_name;
    qint64 m_jobId;
};
