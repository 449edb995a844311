#pragma once

#include <QString>

// Checks a stage makes before it gives a job's files to a child program, and the bounds of
// its waits on that child.
class QStageCheck
{
public:
    QStageCheck() = delete;

    // Throws UException "输出文件夹不存在或无法写入" unless `folder` is a folder this
    // program can write in.
    static void checkFolder(const QString &folder);

    // "磁盘空间不足：" and the folder, named as the output folder or as a data folder, to which a
    // reason adds what was short.
    static QString noRoomIn(bool outputFolder, const QString &folder);

    // The job's reason when the disk of a folder of the data folder is full: `folder` is where
    // `written` (what the stage writes there) went.
    static QString dataFolderFull(const QString &folder, const QString &written);

    // A bound in milliseconds: `envVar` when it holds a number above 0 (tests), else `def`.
    static int boundMs(const char *envVar, int def);
    // How long a child may give no sign of progress before it is ended (two minutes;
    // VANTREL_STAGE_SILENCE_MS).
    static int silenceMs();
};
