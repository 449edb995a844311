#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include <QObject>
#include <QString>

#include <json/json.h>

#include "qdtaconfig.h"
#include "qdtavideo.h"

class QBase;

// One video job from the moment a file is added until its output exists.
// step: 0 new (not probed), 1 probed, 3 done.
class QFileWork : public QObject
{
    Q_OBJECT

public:
    enum Step
    {
        StepNew = 0,
        StepProbed = 1,
        StepDone = 3
    };

    explicit QFileWork(QObject *parent = nullptr);
    // A new job; throws UException when the settings can't make a job (course id not a number).
    QFileWork(const QString &path, const QDtaConfig &config);
    // A job restored from "work.json"; a stored step other than 0 or 1 reads as 0. A job that is
    // not what its own fields make of it (refusal()) is kept as it was stored and never runs.
    explicit QFileWork(const Json::Value &value);
    ~QFileWork() override;

    // Runs the remaining steps on the calling thread: true when the job completed, false when it
    // failed or was stopped (signal_error then carries the message). Never throws.
    bool run();
    Json::Value toJson() const;
    bool isComplete() const;
    // The last run ended by a failure or a stop.
    bool isStopped() const;
    // Why a restored job is refused (a text for its row), empty when it may run.
    QString refusal() const;
    bool isRefused() const;
    qint64 id() const;
    std::shared_ptr<QDtaVideo> video() const;
    uint32_t progress() const;
    int step() const;

    // Stops the running stage; a stop that comes before the stage exists ends the run as soon
    // as it reaches the stage. Callable from any thread.
    void stop();
    void pause();
    void resume();
    // Ends a job that waited and never ran as failed, for `reason` (signal_error).
    void failWaiting(const QString &reason);

    // Runs the upload stage on the calling thread (no work item calls it in this build);
    // throws UException on failure.
    void upload();
    // 32-bit hash of "%1_%2_%3_%4" (teacher, course, current milliseconds, text).
    int32_t makeOutputName(const QString &text) const;

    // Queue bookkeeping of the pool: claim() succeeds once until release(), so that one item is
    // never queued twice nor runs on two workers. claim() also clears an earlier stop request
    // and the progress.
    bool claim();
    void release();
    bool isClaimed() const;

    // Makes the stage of the encrypt step; the default makes QWebModel (mode 4) or QFrameModel.
    using ModelFactory = std::function<std::unique_ptr<QBase>(const std::shared_ptr<QDtaVideo> &)>;
    static void setModelFactory(ModelFactory factory);

    // Next id of a job or record: the current milliseconds, but always above the last id
    // handed out or seen. Never overflows: ids noted far beyond the clock are not followed.
    static qint64 nextId();
    static void noteId(qint64 id);

    // Test hook: when VANTREL_CRASH_AT names `moment`, the program kills itself there with
    // SIGKILL (after creating the file VANTREL_CRASH_MARK names, when set). When the list
    // VANTREL_PAUSE_AT (moments separated by ",") names it, the program writes the moment and
    // `detail` (on a line of its own) into the file VANTREL_PAUSE_MARK names and waits there
    // until that file is gone (a minute at most). Nothing in a build without test hooks
    // (QChildProcess::testHooksBuiltIn).
    static void crashPoint(const char *moment, const QString &detail = QString());

signals:
    void signal_progress(int stage, int percent);
    void signal_error(QString msg);
    void signal_complete();
    // The stage's note for the row.
    void signal_note(QString note);

public slots:
    void onProgress(int stage, int percent);

private:
    void runSteps();
    void encrypt();
    // Makes `stage` the current stage (replacing the last one) and runs it.
    void runModel(std::unique_ptr<QBase> stage);
    void throwIfStopRequested() const;

    std::shared_ptr<QDtaVideo> m_video;
    std::unique_ptr<QBase> m_model;
    qint64 m_id;
    std::atomic<uint32_t> m_progress;
    mutable std::mutex m_modelMutex;
    std::atomic<bool> m_stopped;
    std::atomic<int> m_step;
    std::atomic<bool> m_stopRequested;
    std::atomic<bool> m_claimed;
    QString m_refusal;
    // A refused job's entry of "work.json", saved back unchanged.
    Json::Value m_stored;
};
