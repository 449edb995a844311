#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include "qdtaconfig.h"

class QFileWork;

// The queue of video jobs: N worker threads run QFileWork items first in first out; unfinished
// items are kept in "work.json" in the data folder and restored at the next start.
class QWorkPool : public QObject
{
    Q_OBJECT

public:
    static QWorkPool *instance();

    explicit QWorkPool(QObject *parent = nullptr);
    ~QWorkPool() override;

    // Starts n workers, then restores "work.json".
    void start(int n);
    // Stops every unfinished item, joins the workers, then saves "work.json".
    void stop();
    bool isRunning() const;

    // Makes, announces (addItem) and queues a job; throws UException when the settings can't make
    // one (course id not a number).
    std::shared_ptr<QFileWork> addWork(const QString &path, const QDtaConfig &config);
    // One confirmed batch: every job is made and saved to "work.json" in one write before any is
    // announced or queued. A file that can't make a job is left out and, after the rest are
    // queued, reported by an UException with its message.
    QList<std::shared_ptr<QFileWork>> addWorks(const QStringList &paths, const QDtaConfig &config);
    // Registers, announces and queues an item; false when its id is already known. A refused
    // item is announced with its refusal and never queued.
    bool addWorkItem(const std::shared_ptr<QFileWork> &work);
    // Stops and forgets an item; a waiting item is then skipped by the workers.
    void removeWork(qlonglong id);
    // Queues a failed or stopped item again; false for unknown, waiting, running or done items.
    bool retryWork(qlonglong id);
    void pauseWork(qlonglong id);
    void stopWork(qlonglong id);
    void resumeWork(qlonglong id);
    void runWork(qlonglong id);

    std::shared_ptr<QFileWork> work(qlonglong id) const;
    int count() const;

    void load();
    // Writes the unfinished items atomically; false when the file could not be written.
    bool save();
    // "work.json" in the data folder unless set otherwise.
    void setFilePath(const QString &path);
    // Stops, forgets every item and keeps the pending work in `filePath` from now on (the
    // data folder has changed); start() loads it.
    void reopen(const QString &filePath);
    QString filePath() const;
    // The text to show once when "work.json" was damaged and kept aside, else empty; cleared
    // by the call.
    QString takeSetAsideNotice();

    // One job as the overall bar counts it.
    struct JobProgress
    {
        bool done = false;   // finished: counts as 100
        bool failed = false; // failed, stopped or refused: left out
        int percent = 0;     // waiting: 0; running: its progress
    };
    // The overall percentage: the mean over the jobs that are not left out; 0 without any.
    static int overallPercent(const QList<JobProgress> &jobs);

signals:
    void addItem(QFileWork *pwork);
    void removeItem(qlonglong id);
    void completeItem(qlonglong id);
    void signal_progress(int percent);
    // "work.json" could not be written: once, until a later save succeeds again. Emitted on
    // the saving thread after the save's lock is released; a window connects to it queued.
    void saveFailed(const QString &message);

public slots:
    void onProgress(int stage, int percent);

private:
    // Puts the items in the id map; those whose id is known already are left out.
    QList<std::shared_ptr<QFileWork>> registerWorks(const QList<std::shared_ptr<QFileWork>> &works);
    // Connects, announces and (unless refused) queues a registered item.
    void announce(const std::shared_ptr<QFileWork> &work);
    void keptAside(const QString &bad);
    void enqueue(const std::shared_ptr<QFileWork> &work);
    void workerLoop();
    // Beside the workers, a first look at every file as soon as it is queued: one that can't
    // be a job fails at once instead of waiting for a free worker.
    void screen(const std::shared_ptr<QFileWork> &work);
    void screenLoop();
    void screenOne(const std::shared_ptr<QFileWork> &work);
    void averageProgress();
    // The overall percentage again after a job was added, ended, removed or queued again.
    void refreshProgress();

    QList<std::shared_ptr<QFileWork>> m_queue;
    std::mutex m_queueMutex;
    mutable std::mutex m_mapMutex;
    std::condition_variable m_wakeUp;
    std::vector<std::unique_ptr<std::thread>> m_workers;
    std::atomic<bool> m_running;
    std::thread m_screener;
    std::mutex m_screenMutex;
    std::condition_variable m_screenWake;
    QList<std::shared_ptr<QFileWork>> m_screenQueue;
    std::atomic<bool> m_screenStop {false};
    // One overall computation at a time, so that the last one sent is the latest state.
    std::mutex m_averageMutex;
    QMap<qint64, std::shared_ptr<QFileWork>> m_works;
    std::mutex m_saveMutex;
    QString m_filePath;
    std::mutex m_noticeMutex;
    QString m_notice;
    // Saving waits for the first load, so that pending work of the last run is never
    // written over before it was read.
    std::atomic<bool> m_loaded;
    std::atomic<bool> m_loading;
    std::atomic<bool> m_saveFailureTold {false};
};
