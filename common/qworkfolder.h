#pragma once

#include <mutex>
#include <string>

#include <QString>
#include <QStringList>

// The private folder of one run (0700) for files that must never be seen beside the user's
// videos, such as the plain transcode of frame encryption. It lives under a root in the user's
// data folder and is named "<pid>-<start time>" after its owner process (the start time in
// clock ticks since boot, from /proc), so that a folder whose owner is gone can be told from one
// in use, whatever pid a later process gets. Both programs sweep the root: the encryption
// program before each run, the main program at its start.
class QWorkFolder
{
public:
    QWorkFolder() = default;
    ~QWorkFolder();

    QWorkFolder(const QWorkFolder &) = delete;
    QWorkFolder &operator=(const QWorkFolder &) = delete;

    // "<data folder>transcode/".
    static QString defaultRoot();
    // Name of the folder of process `pid` ("<pid>-<start time>"); empty when it is not running.
    static QString ownerName(long pid);
    // Removes every folder under `root` whose owner process is no longer running (and anything
    // else there that is no such folder), with the temporary files it noted; returns how many
    // folders were removed.
    static int sweep(const QString &root);

    // Creates this process's folder under `root` (root made private when missing). False when
    // it can't be had.
    bool create(const QString &root);
    // The folder, ending with "/"; empty before create().
    QString path() const;
    // Notes temporary files that the run makes outside the folder, before it makes them: if
    // the run is killed, the sweep removes them too (those not changed since the sweep began).
    bool noteTempFiles(const QStringList &paths);
    // Removes the folder and everything in it. Safe from any thread, and more than once.
    void remove();

private:
    mutable std::mutex m_mutex;
    std::string m_path;
};
