#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include <QProcess>
#include <QString>

#include <json/json.h>

#include "qbase.h"
#include "qchildprocess.h"

class QDtaVideo;
class QRunFolder;

namespace platform
{
    class NamedPipeServer;
}

// The encryption stage: fetches the course authorization code, derives the key, runs `sorbin`
// on the video, serves its pipe (progress of stage 2), names the output and records it.
class QFrameModel : public QBase
{
    Q_OBJECT

public:
    explicit QFrameModel(const std::shared_ptr<QDtaVideo> &video, QObject *parent = nullptr);
    ~QFrameModel() override;

    void run() override;
    // Ends the job (from any thread): the worker ends the child, SIGTERM first, and removes
    // what the run wrote; a stop before the child starts ends run() there.
    void stop() override;

    // The deciphered text of an authorization code; throws UException
    // "获取课程授权码失败！" (empty) or "解析课程授权码失败！" (bad check or cipher text).
    static std::string parseAuthCode(const std::string &authCode, const std::string &mac, int courseId);
    // The key string: 32 upper-case hex characters.
    static std::string mixKey(const std::string &keyBase, const std::string &courseId);
    // The key base ("str") of a deciphered authorization text; throws UException
    // "解析课程授权码失败！" when there is none.
    static std::string keyBaseOf(const std::string &authText);
    // Full pipe name of a video key.
    static std::string pipeNameOf(const QString &videoKey);
    // The final name of an output: the video key less its first three "_" fields.
    static QString shortNameOf(const QString &videoKey);
    // Where `sorbin` leaves the output of a job (save path + video key), and the short name the
    // stage gives it when that name is free.
    static QString outputPathOf(const QDtaVideo &video);
    static QString finalPathOf(const QDtaVideo &video);
    // True when the job was recorded (its record is its done mark); finishes the output's rename
    // when a kill came between the record and the rename.
    static bool completeRecorded(const QDtaVideo &video);

    Json::Value makeJobJson() const;

    // `sorbin` is found beside this program unless VANTREL_SORBIN or this setter says otherwise.
    static void setProgramPath(const QString &path);
    // Tests: the free bytes of a folder's disk (a negative answer asks the system).
    static void setFreeSpaceReader(std::function<qint64(const QString &folder)> reader);
    static QString programPath();
    // Tests: called once the source is opened and checked, before the child starts.
    static void setSourceOpenedHook(std::function<void()> hook);

public slots:
    void onFinished(int exitCode, QProcess::ExitStatus exitStatus);

private:
    void convert(const std::string &keyBase);
    // Throws when the output folder is not writable.
    void checkPaths() const;
    // The output's name fits the file system and its disk has room for it.
    void checkRoom() const;
    // Free bytes for this user on the disk of `folder` (or of the nearest folder above it); -1 when unknown.
    static qint64 freeBytes(const QString &folder);
    // Throws the disk's reason when sorbin said its output ran out of room.
    void throwIfNoRoom() const;
    static void removeStaleRuns(const QDtaVideo &video);
    // Moves the run's output from its folder beside the source, under the video key or, when
    // that is taken, another free name; returns its path there.
    QString takeOutput(QRunFolder &runFolder);
    // Throws when a re-encoded output at `output` plays clearly shorter than its source.
    void checkOutputLength(const QString &output) const;
    void readProgress(platform::NamedPipeServer &pipe);
    bool handleMessage(const std::string &message);
    void waitForClient(platform::NamedPipeServer &pipe);
    void drainOutput();
    void keepOutput(const QByteArray &chunk);
    bool childRunning();
    void killChild();
    void finish(const QString &output);
    void checkStop() const;

    std::shared_ptr<QDtaVideo> m_video;
    std::unique_ptr<QTiedProcess> m_process;
    std::atomic<bool> m_finished;
    std::atomic<bool> m_stop;
    QByteArray m_outputTail;
};
