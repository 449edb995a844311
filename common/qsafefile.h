#pragma once

#include <functional>

#include <QByteArray>
#include <QString>

// The one way the programs replace a file that must survive: the new content goes to a
// temporary file beside it (0600, an unpredictable name, never an existing file), every write
// is checked, the file is synced to disk and renamed over the old one, then the folder is
// synced. On any failure the old file is left exactly as it was and the temporary file is
// removed; the caller gets the reason.
class QSafeFile
{
public:
    QSafeFile() = delete;

    // Replaces `path` with `data`, creating the folder when missing. The file ends up with
    // `mode` (0600 for the programs' own state). False on failure, with the reason
    // ("<what> <path>: <system error>") in `error`.
    static bool save(const QString &path, const QByteArray &data, QString *error = nullptr, int mode = 0600);
    // The same with the content in pieces: `next` gives one after another, then an empty one.
    static bool saveParts(const QString &path, const std::function<QByteArray()> &next, QString *error = nullptr,
                          int mode = 0600);

    // Removes what saves in `folder` left when the process was killed: the temporary files of
    // the files `isStateFile` names, regular files of this user's with the names save() gives.
    // Entries are looked at through the open folder and never followed: links, folders and
    // other users' files stay. Only while no save in the folder can be running. Returns how
    // many were removed.
    static int sweepLeftovers(const QString &folder, const std::function<bool(const QString &name)> &isStateFile);

    // `data` as the pieces saveParts() takes: itself, then the end.
    static std::function<QByteArray()> onePiece(const QByteArray &data);

    // Tests: the step to fail and how, for the saves of `path` (empty: every path).
    enum class Fault { None, ShortWrite, FailedWrite, FailedSync, FailedClose, FailedRename };
    static void setFaultForTests(Fault fault, int error = 0, const QString &path = QString());
};
