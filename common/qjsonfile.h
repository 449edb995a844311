#pragma once

#include <functional>

#include <QString>

#include "qvalue.h"

// The one reader and writer of the program's JSON state files ("work.json",
// "records.json", upload ".progress" files).
class QJsonFile
{
public:
    QJsonFile() = delete;

    // Reads `path` into `root`.
    // - missing file: `root` is null, true;
    // - unreadable file: `root` is null, false, the file is left alone;
    // - damaged file (not JSON): it is renamed to "<path>.bad" (or "<path>.bad.1", ... when
    //   that is taken) so it is never overwritten, the event is logged, `root` is null, false.
    // `error`, when given, receives the reason of a false result.
    static bool read(const QString &path, QValue &root, QString *error = nullptr);

    // Reads `path` as read() does, but an object member by member: `member` gets each
    // member's name and value in the byte order of the names, as read() would list them, and
    // a long file's whole tree is never held at once. A document that is no object comes
    // whole in `root` (null when the file is missing or holds null; null too when members were
    // handed). On false (unreadable or damaged, handled as by read()) whatever `member` got
    // is to be dropped.
    static bool readMembers(const QString &path, const std::function<void(const QString &name, const QValue &value)> &member,
                            QValue &root, QString *error = nullptr);

    // Writes `root` through QSafeFile (created 0600, the folder made when missing). On failure
    // the old file is untouched and false is returned.
    static bool write(const QString &path, const QValue &root, bool styled = true, QString *error = nullptr);
    // Writes text that is already JSON, in the same way.
    static bool writeText(const QString &path, const QByteArray &data, QString *error = nullptr);
    // The same with the text in pieces: `next` gives one piece after the other, an empty one
    // after the last, so that a long text is never held whole.
    static bool writeParts(const QString &path, const std::function<QByteArray()> &next, QString *error = nullptr);

    // Tests: every write of `path` fails with `reason` (as on a full disk); an empty path ends it.
    static void setWriteFaultForTests(const QString &path, const QString &reason);

    // Where read() keeps a damaged file: the first free name of "<path>.bad", "<path>.bad.1", ...
    static QString badFileName(const QString &path);
};
