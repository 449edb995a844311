#pragma once

#include <cstdint>
#include <string>

#include <QString>
#include <QVariant>

// Free helpers shared by the programs: the global settings store over "config.ini", the
// clock, time texts, the single-instance test and the machine identifier.
namespace CommonFun
{
    // Settings store ("group/key" in an INI file). Safe from any thread. Before
    // initSettings() (or after releaseSettings()) getters return their default and
    // setSetting() changes nothing.
    // Opens `path`, replacing an earlier store. An unreadable file is kept as "<path>.bad"
    // and a fresh store is started.
    void initSettings(const QString &path);
    void releaseSettings();
    bool isSettingsOpen();
    // Stores the value and saves "config.ini" at once; false (the reason in `error`, and in the
    // log) when the file could not be saved: the value is kept and saved with the next change.
    bool setSetting(const QString &group, const QString &key, const QVariant &value, QString *error = nullptr);
    int getSettingInt(const QString &group, const QString &key, int def = 0);
    QString getSettingString(const QString &group, const QString &key, const QString &def = QString());
    bool getSettingBool(const QString &group, const QString &key, bool def = false);
    float getSettingFloat(const QString &group, const QString &key, float def = 0.0f);
    int64_t getSettingInt64(const QString &group, const QString &key, int64_t def = 0);
    // Saves the changes that could not be saved yet; false (with the reason) when they still can't be.
    bool syncSettings(QString *error = nullptr);

    // Where a damaged state file is kept: the first free name of "<path>.bad",
    // "<path>.bad.1", ... (never an existing file, so nothing kept is overwritten).
    QString badFileName(const QString &path);
    // Renames a damaged state file to badFileName(path); returns that name, empty when the
    // file could not be moved.
    QString setDamagedFileAside(const QString &path);
    // What the user is told of a damaged state file kept as `bad` ("<what>文件已损坏，…");
    // empty when nothing was kept.
    QString damagedFileNotice(const QString &what, const QString &bad);

    // A system error in the words the messages give reasons in: "<cause>：<system text>".
    // `accessDenied` names the cause of EACCES and EPERM where the caller knows what was refused.
    QString systemErrorText(int err, const QString &accessDenied = QString());

    // Milliseconds since 1970-01-01 UTC.
    int64_t currentMSecs();

    // Switches the C library's character type to UTF-8 when the process runs under the "C"
    // locale, so that file names outside ASCII survive the libraries that go through it.
    void ensureUtf8CType();
    // |b - a| < epsilon (strictly).
    bool floatEqual(float a, float b, float epsilon);
    // "HH:MM:SS", each field at least two digits.
    QString secondsToTime(int seconds);

    // True when another process already holds the named single-instance lock; otherwise
    // this process takes it and keeps it until it ends. False when no lock can be made.
    bool isMutexExist(const std::wstring &name);

    // The single-instance guard of a data folder: a lock on "<folder><name>.lock", held by
    // this process until it ends once it is Alone. Another: a process already holds it;
    // Unknown: no lock could be taken there (the caller must not run unguarded), and `error`
    // gets the system's error (0 when none was given).
    enum class Instance { Alone, Another, Unknown };
    Instance guardDataFolder(const QString &folder, const std::wstring &name, int *error = nullptr);

    // "W" and 9 upper-case hex digits, derived from the machine's disk id; the same on
    // every run on one machine.
    std::string getMachineId();
    // The derivation itself, from a given disk id.
    std::string machineIdFromDiskId(const std::string &diskId);

    // Small file helpers ("/" paths).
    bool deleteFile(const QString &path);
    bool isFile(const QString &path);
    bool isDir(const QString &path);
    bool moveFile(const QString &from, const QString &to);
    // Creates the folder with its parents; true when it exists afterwards.
    bool createDirectories(const QString &path);
    // Text after the last "/"; empty when there is none or it is the first character.
    QString getFileName(const QString &path);
    // Name of the last folder of a path (one trailing "/" ignored).
    QString getLastFolderName(const QString &path);
    // Account name of this process's user; empty when unknown.
    QString getProcessUserName();
    // Free space for this user on the volume of `path`, in GiB; 0 when unknown.
    float getDiskFreeSpace(const QString &path);

    // Processes by executable name: the file name of a process's program file
    // ("/proc/<pid>/exe"). Processes whose program file this user may not see (other
    // users', kernel threads, zombies) never match. Ending a process sends SIGTERM, waits up
    // to `terminateWaitMs` for it to go, then sends SIGKILL and waits up to 2 seconds more;
    // a process is held by a pidfd so that no signal reaches a later process with its id.
    // The calling process is never ended.
    // Id of the first running process whose executable name is `name` (case-sensitive);
    // 0 when none.
    qint64 findProcess(const QString &name);
    // Ends every process whose executable name is `name`, ignoring case; true when at
    // least one of them ended.
    bool killProcess(const QString &name, int terminateWaitMs = 3000);
    // Ends every other process of this program's executable name, ignoring case.
    bool killOtherInstances(int terminateWaitMs = 3000);
    // Account name of the effective user of process `pid`; empty when the process is gone
    // or the user has no name.
    QString getProcessUserName(qint64 pid);
}
