#pragma once

#include <QObject>
#include <QString>

// Program-wide folders and the build date; brings the logger and the global settings
// store up (init) and down (uninit). All folders end with "/".
//
// The application-data folder is "$VANTREL_DATA_DIR/" when that is set, otherwise
// "$XDG_DATA_HOME/vantrel/" (default "~/.local/share/vantrel/"); it holds "log/", "slice/"
// and "config.ini". Both programs find the same folder, whatever their application name.
class CGlobal : public QObject
{
public:
    CGlobal() = delete;

    // Folders, logger on the log folder, settings store on "config.ini", build date.
    static void init();
    // Closes the settings store, then stops the logger (every queued line is written).
    static void uninit();
    static void initPath();

    static QString dataPath();
    static QString currentPath();
    static QString appPath();
    static QString configFile();
    static QString logPath();
    static QString slicePath();
    static int buildDate();
    static QString systemName();
    static float scaleFactor();

    // The folders as they will be, without init() and without a Qt application object
    // (the console program uses these).
    static QString defaultDataPath();
    static QString defaultLogPath();
    // Creates the folder and its missing parents for this user only (0700) and tightens it
    // when it exists open to others. False when it is no folder of this user afterwards, or
    // when someone else could put another folder in its place (a folder above it that is not
    // root's or this user's, or, without the sticky bit, one that others may write or whose
    // group may write and is not provably this user's alone).
    static bool makePrivateFolder(const QString &path);
    // False when initPath() could not make the data folder this user's alone (someone else's
    // folder, or one it can't close to others): then nothing may be kept there.
    static bool dataPathIsPrivate();

    // Makes this program the handler of "ostrelhelper:" links for this user: the desktop
    // entry "vantrel-ostrelhelper.desktop" in "$XDG_DATA_HOME/applications/" (default
    // "~/.local/share/applications/") starts it with the whole URL as its only argument, and
    // "$XDG_CONFIG_HOME/mimeapps.list" (default "~/.config/mimeapps.list") makes that entry
    // the scheme's default handler. A file that already says so is left untouched; others
    // are replaced atomically, every other line of "mimeapps.list" kept. False when a file
    // could not be read or written.
    static bool registerUrlProtocol();
    // The same for the program file `program` (an absolute path).
    static bool registerUrlProtocol(const QString &program);

    // "Aug 13 2021" (the compiler's date text, day padded with a space) to 20210813;
    // 0 when the text is not of that form.
    static int parseBuildDate(const char *date);

private:
    static void initBuildDate();
    static void initSystemName();
};
