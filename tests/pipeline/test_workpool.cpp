// Work items and the work pool, with a stage the test controls.
#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>
#include <set>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "pipelinehelpers.h"
#include "qbase.h"
#include "qdtavideo.h"
#include "qfilework.h"
#include "qframemodel.h"
#include "qjsonfile.h"
#include "qrecords.h"
#include "qvalue.h"
#include "qworkpool.h"
#include "quser.h"
#include "testsupport.h"
#include "uexception.h"

namespace
{
    // Shared state of every fake stage of a test.
    struct StageControl
    {
        std::mutex mutex;
        std::condition_variable changed;
        int running = 0;
        int releases = 0;          // stages allowed to end
        bool openGate = false;     // every stage ends at once
        int failures = 0;          // the next runs that fail
        bool finishOnStop = false; // a stop lets the stage complete instead of failing
        std::map<qint64, int> runs;

        void release(int n = 1)
        {
            std::lock_guard<std::mutex> lock(mutex);
            releases += n;
            changed.notify_all();
        }

        void open()
        {
            std::lock_guard<std::mutex> lock(mutex);
            openGate = true;
            changed.notify_all();
        }

        int runningNow()
        {
            std::lock_guard<std::mutex> lock(mutex);
            return running;
        }

        int runsOf(qint64 id)
        {
            std::lock_guard<std::mutex> lock(mutex);
            return runs.count(id) ? runs[id] : 0;
        }
    };

    class FakeStage : public QBase
    {
    public:
        FakeStage(std::shared_ptr<StageControl> control, std::shared_ptr<QDtaVideo> video)
            : m_control(std::move(control))
            , m_video(std::move(video))
        {
        }

        void run() override
        {
            std::unique_lock<std::mutex> lock(m_control->mutex);
            ++m_control->runs[m_video->id()];
            ++m_control->running;
            m_control->changed.notify_all();
            m_control->changed.wait(lock, [this]() {
                return m_control->openGate || m_control->releases > 0 || m_stopped;
            });
            --m_control->running;
            if (m_stopped && !m_control->finishOnStop)
                throw UException("!m_stopped", QStringLiteral("加密程序异常退出"), __FILE__, __LINE__);
            if (!m_stopped && !m_control->openGate)
                --m_control->releases;
            if (m_control->failures > 0) {
                --m_control->failures;
                throw UException("false", QStringLiteral("视频加密异常"), __FILE__, __LINE__);
            }
            lock.unlock();
            emit signal_progress(2, 100);
        }

        void stop() override
        {
            std::lock_guard<std::mutex> lock(m_control->mutex);
            m_stopped = true;
            m_control->changed.notify_all();
        }

    private:
        std::shared_ptr<StageControl> m_control;
        std::shared_ptr<QDtaVideo> m_video;
        bool m_stopped = false;
    };

    // Error texts of one item, emitted on a worker thread and read on the main thread.
    struct ErrorLog
    {
        std::mutex mutex;
        QStringList messages;

        explicit ErrorLog(QFileWork *work)
        {
            QObject::connect(work, &QFileWork::signal_error, [this](const QString &message) {
                std::lock_guard<std::mutex> lock(mutex);
                messages << message;
            });
        }

        int count()
        {
            std::lock_guard<std::mutex> lock(mutex);
            return messages.size();
        }

        QString at(int i)
        {
            std::lock_guard<std::mutex> lock(mutex);
            return messages.value(i);
        }
    };

    // Counts what a pool reports from its worker threads.
    struct PoolEvents
    {
        std::mutex mutex;
        std::vector<qint64> completed;
        std::vector<int> progress;

        void watch(QWorkPool &pool)
        {
            QObject::connect(&pool, &QWorkPool::completeItem, [this](qlonglong id) {
                std::lock_guard<std::mutex> lock(mutex);
                completed.push_back(id);
            });
            QObject::connect(&pool, &QWorkPool::signal_progress, [this](int percent) {
                std::lock_guard<std::mutex> lock(mutex);
                progress.push_back(percent);
            });
        }

        size_t completedCount()
        {
            std::lock_guard<std::mutex> lock(mutex);
            return completed.size();
        }
    };

    QValue readJson(const QString &path)
    {
        QValue root;
        EXPECT_TRUE(QJsonFile::read(path, root));
        return root;
    }
}

class WorkPoolTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QUser::instance()->setTeacherId(1001);
        m_dir = testsupport::newTempDir();
        m_file = m_dir + QStringLiteral("work.json");
        m_control = std::make_shared<StageControl>();
        auto control = m_control;
        QFileWork::setModelFactory([control](const std::shared_ptr<QDtaVideo> &video) {
            return std::unique_ptr<QBase>(new FakeStage(control, video));
        });
        m_probes = std::make_shared<std::atomic<int>>(0);
        auto probes = m_probes;
        QDtaVideo::setMediaInfoReader([probes](const QString &, MediaFacts &facts) {
            ++*probes;
            facts.width = 320;
            facts.height = 240;
            facts.duration = 3;
        });
    }

    void TearDown() override
    {
        m_control->open();
        QFileWork::setModelFactory({});
        QDtaVideo::setMediaInfoReader({});
    }

    QString source(const QString &name)
    {
        const QString path = m_dir + name;
        // A real clip: a file that is no video fails as soon as it is queued.
        if (!QFile::exists(path))
            QFile::copy(testsupport::clipH264Mp4(), path);
        return path;
    }

    std::unique_ptr<QWorkPool> newPool()
    {
        std::unique_ptr<QWorkPool> pool(new QWorkPool);
        pool->setFilePath(m_file);
        return pool;
    }

    QString m_dir;
    QString m_file;
    std::shared_ptr<StageControl> m_control;
    std::shared_ptr<std::atomic<int>> m_probes;
};

TEST_F(WorkPoolTest, ThreeItemsOnTwoWorkers)
{
    auto pool = newPool();
    PoolEvents events;
    events.watch(*pool);
    // A slot that calls back into the pool while the item is announced.
    std::vector<qint64> announced;
    QObject::connect(pool.get(), &QWorkPool::addItem, [&](QFileWork *work) {
        ASSERT_EQ(pool->work(work->id()).get(), work);
        announced.push_back(work->id());
    });
    pool->start(2);
    std::vector<std::shared_ptr<QFileWork>> works;
    for (int i = 0; i < 3; ++i)
        works.push_back(pool->addWork(source(QStringLiteral("v%1.mp4").arg(i)), pipelinetest::config(7)));
    EXPECT_EQ(announced.size(), 3u);

    ASSERT_TRUE(testsupport::waitUntil([&]() { return m_control->runningNow() == 2; }, 5000));
    testsupport::waitUntil([]() { return false; }, 300);
    EXPECT_EQ(m_control->runningNow(), 2);
    EXPECT_EQ(m_control->runsOf(works[2]->id()), 0) << "the third waits for a free worker";

    // Pending work is on disk while it runs.
    QValue pending = readJson(m_file);
    ASSERT_TRUE(pending.isArray());
    EXPECT_EQ(pending.size(), 3u);

    m_control->release(1);
    ASSERT_TRUE(testsupport::waitUntil([&]() { return m_control->runsOf(works[2]->id()) == 1; }, 5000));
    m_control->open();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return events.completedCount() == 3; }, 5000));
    for (const auto &work : works) {
        EXPECT_TRUE(work->isComplete());
        EXPECT_EQ(work->video()->videoWidth(), 320);
    }
    pool->stop();
    EXPECT_TRUE(readJson(m_file).isNull());
}

TEST_F(WorkPoolTest, RetryResumesAtTheFailedStepAndIsNeverDoubled)
{
    m_control->failures = 1;
    auto pool = newPool();
    PoolEvents events;
    events.watch(*pool);
    pool->start(2);
    // Held at the gate until the error log is connected.
    auto work = pool->addWork(source(QStringLiteral("a.mp4")), pipelinetest::config(8));
    ErrorLog errors(work.get());
    m_control->open();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return errors.count() == 1; }, 5000));
    EXPECT_EQ(errors.at(0), QStringLiteral("视频加密异常"));
    EXPECT_TRUE(work->isStopped());
    EXPECT_EQ(work->step(), 1);
    EXPECT_EQ(m_probes->load(), 1);
    // Saved once the worker is done with it.
    EXPECT_TRUE(testsupport::waitUntil([&]() { return readJson(m_file)[0]["step"].asInt() == 1; }, 5000));

    // Second run held at the gate: a retry meanwhile is refused.
    {
        std::lock_guard<std::mutex> lock(m_control->mutex);
        m_control->openGate = false;
    }
    EXPECT_TRUE(pool->retryWork(work->id()));
    EXPECT_FALSE(pool->retryWork(work->id()));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return m_control->runningNow() == 1; }, 5000));
    EXPECT_FALSE(pool->retryWork(work->id()));
    m_control->open();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return events.completedCount() == 1; }, 5000));
    EXPECT_EQ(m_control->runsOf(work->id()), 2);
    EXPECT_EQ(m_probes->load(), 1) << "the retry must not probe again";
    EXPECT_FALSE(pool->retryWork(work->id())) << "a completed item is not run again";
    EXPECT_FALSE(pool->retryWork(12345));
    pool->stop();
}

TEST_F(WorkPoolTest, StopDuringAStageSavesAndTheNextStartFinishes)
{
    qint64 id = 0;
    {
        auto pool = newPool();
        pool->start(1);
        id = pool->addWork(source(QStringLiteral("a.mp4")), pipelinetest::config(7))->id();
        ASSERT_TRUE(testsupport::waitUntil([&]() { return m_control->runningNow() == 1; }, 5000));
        pool->stop();
        EXPECT_FALSE(pool->isRunning());
    }
    const QValue saved = readJson(m_file);
    ASSERT_TRUE(saved.isArray());
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0]["step"].asInt(), 1);
    EXPECT_EQ(saved[0]["data"]["id"].asInt64(), id);
    EXPECT_EQ(saved[0]["data"]["video_width"].asInt(), 320);

    m_control->open();
    auto pool = newPool();
    PoolEvents events;
    events.watch(*pool);
    std::vector<qint64> announced;
    QObject::connect(pool.get(), &QWorkPool::addItem, [&](QFileWork *work) { announced.push_back(work->id()); });
    pool->start(1);
    EXPECT_EQ(announced, std::vector<qint64> {id});
    ASSERT_TRUE(testsupport::waitUntil([&]() { return events.completedCount() == 1; }, 5000));
    EXPECT_EQ(m_probes->load(), 1) << "a restored probed item goes straight to its stage";
    EXPECT_EQ(m_control->runsOf(id), 2);
    pool->stop();
    EXPECT_TRUE(readJson(m_file).isNull());

    // New ids stay above the restored ones.
    EXPECT_GT(QFileWork::nextId(), id);
}

TEST_F(WorkPoolTest, JobFinishingDuringTheStopIsNotSavedAgain)
{
    m_control->finishOnStop = true;
    auto pool = newPool();
    pool->start(1);
    auto work = pool->addWork(source(QStringLiteral("a.mp4")), pipelinetest::config(7));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return m_control->runningNow() == 1; }, 5000));
    pool->stop();
    EXPECT_TRUE(work->isComplete());
    EXPECT_TRUE(readJson(m_file).isNull());
}

TEST_F(WorkPoolTest, StopDuringTheProbeIsNotLost)
{
    auto probing = std::make_shared<std::atomic<bool>>(false);
    QDtaVideo::setMediaInfoReader([probing](const QString &, MediaFacts &) {
        *probing = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
    });
    m_control->open();
    auto pool = newPool();
    pool->start(1);
    auto work = pool->addWork(source(QStringLiteral("a.mp4")), pipelinetest::config(7));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return probing->load(); }, 5000));
    pool->stop();
    EXPECT_FALSE(work->isComplete());
    EXPECT_EQ(m_control->runsOf(work->id()), 0) << "the stage must not start after the stop";
    const QValue saved = readJson(m_file);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0]["data"]["id"].asInt64(), work->id());
}

TEST_F(WorkPoolTest, RemovedWaitingItemDoesNotRun)
{
    auto pool = newPool();
    PoolEvents events;
    events.watch(*pool);
    pool->start(1);
    auto first = pool->addWork(source(QStringLiteral("a.mp4")), pipelinetest::config(7));
    auto second = pool->addWork(source(QStringLiteral("b.mp4")), pipelinetest::config(7));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return m_control->runningNow() == 1; }, 5000));
    pool->removeWork(second->id());
    EXPECT_EQ(pool->work(second->id()), nullptr);
    EXPECT_EQ(readJson(m_file).size(), 1u);
    m_control->open();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return events.completedCount() == 1; }, 5000));
    testsupport::waitUntil([]() { return false; }, 300);
    EXPECT_EQ(m_control->runsOf(second->id()), 0);
    EXPECT_EQ(events.completedCount(), 1u);
    pool->stop();
}

TEST_F(WorkPoolTest, RemovedRunningItemIsStoppedAndForgotten)
{
    auto pool = newPool();
    PoolEvents events;
    events.watch(*pool);
    pool->start(1);
    auto work = pool->addWork(source(QStringLiteral("a.mp4")), pipelinetest::config(7));
    ErrorLog errors(work.get());
    ASSERT_TRUE(testsupport::waitUntil([&]() { return m_control->runningNow() == 1; }, 5000));
    pool->removeWork(work->id());
    ASSERT_TRUE(testsupport::waitUntil([&]() { return errors.count() == 1; }, 5000)) << "the stage was not stopped";
    EXPECT_FALSE(work->isComplete());
    EXPECT_FALSE(pool->retryWork(work->id()));
    EXPECT_EQ(events.completedCount(), 0u);
    // The worker's save after the run must not bring it back.
    ASSERT_TRUE(testsupport::waitUntil([&]() { return !work->isClaimed(); }, 5000));
    pool->stop();
    EXPECT_TRUE(readJson(m_file).isNull());
}

TEST_F(WorkPoolTest, NoWorkersQueueButNeverRunAndIdsAreDistinct)
{
    auto pool = newPool();
    pool->start(0);
    std::set<qint64> ids;
    for (int i = 0; i < 30; ++i)
        ids.insert(pool->addWork(source(QStringLiteral("a.mp4")), pipelinetest::config(7))->id());
    EXPECT_EQ(ids.size(), 30u);
    EXPECT_EQ(pool->count(), 30);
    testsupport::waitUntil([]() { return false; }, 200);
    EXPECT_EQ(m_probes->load(), 0);
    EXPECT_THROW(pool->addWork(source(QStringLiteral("a.mp4")), pipelinetest::config(7, QStringLiteral("1;rm"))),
                 UException);
    EXPECT_EQ(pool->count(), 30);
    pool->stop();
    EXPECT_EQ(readJson(m_file).size(), 30u);
}

TEST_F(WorkPoolTest, ProgressFilterAndAverage)
{
    auto pool = newPool();
    pool->start(0);
    auto a = pool->addWork(source(QStringLiteral("a.mp4")), pipelinetest::config(7));
    auto b = pool->addWork(source(QStringLiteral("b.mp4")), pipelinetest::config(7));
    PoolEvents events;
    events.watch(*pool);

    QSignalSpy emitted(a.get(), SIGNAL(signal_progress(int, int)));
    for (int p : {30, 20, 60})
        a->onProgress(2, p);
    ASSERT_EQ(emitted.count(), 2);
    EXPECT_EQ(emitted.at(0).at(1).toInt(), 30);
    EXPECT_EQ(emitted.at(1).at(1).toInt(), 60);
    a->onProgress(2, 100);
    EXPECT_EQ(events.progress.back(), 50) << "100 and 0 average to 50";

    b->onProgress(0, 50);
    b->onProgress(0, 10);
    EXPECT_EQ(b->progress(), 10u) << "from 50 any next value is taken";
    b->onProgress(0, 5);
    EXPECT_EQ(b->progress(), 10u);
    EXPECT_EQ(events.progress.back(), 55);
    pool->stop();
}

TEST_F(WorkPoolTest, StoredStepsAndDamagedFiles)
{
    const QString dir = m_dir;
    const QValue valid = QDtaVideo(1700000000001LL, source(QStringLiteral("a.mp4")), pipelinetest::config(7)).toJson();
    auto element = [&](const QValue &step, const QValue &data) {
        QValue e(Json::objectValue);
        e["step"] = step;
        e["data"] = data;
        return e;
    };
    auto document = [](std::initializer_list<QValue> elements) {
        QValue array(Json::arrayValue);
        for (const QValue &e : elements)
            array.append(e);
        return toStyledByteArray(array, true);
    };
    QValue traversal = valid;
    traversal["video_key"] = "../../../etc/x.vep";
    traversal["id"] = static_cast<Json::Int64>(1700000000009LL);

    struct Case
    {
        const char *what;
        QByteArray content;
        int restored;
        int step; // of the first restored item
        bool keptAsBad;
    } cases[] = {
        {"null", "null", 0, 0, false},
        {"empty list", "[]", 0, 0, false},
        {"cut short", "[{\"data\": {\"id\": 1", 0, 0, true},
        {"binary", QByteArray("\x00\x01\xfe[", 4), 0, 0, true},
        {"an object", "{\"data\": {}}", 0, 0, true},
        {"a string", "\"work\"", 0, 0, true},
        {"step 1 kept", document({element(1, valid)}), 1, 1, false},
        {"step 3 is not done work", document({element(3, valid)}), 1, 0, false},
        {"step as text", document({element("1", valid)}), 1, 0, false},
        {"bad elements skipped, an unsafe job refused", document({QValue(5), element(1, QValue("x")), element(1, traversal), element(1, valid)}), 2, 1, true},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        m_file = dir + QStringLiteral("work%1.json").arg(n++);
        ASSERT_TRUE(testsupport::writeAll(m_file, c.content));
        auto pool = newPool();
        ASSERT_NO_THROW(pool->start(0));
        EXPECT_EQ(pool->count(), c.restored);
        if (c.restored > 0) {
            auto work = pool->work(1700000000001LL);
            ASSERT_NE(work, nullptr);
            EXPECT_EQ(work->step(), c.step);
            EXPECT_FALSE(work->isComplete());
        }
        pool->stop();
        const QString bad = m_file + QStringLiteral(".bad");
        EXPECT_EQ(QFile::exists(bad), c.keptAsBad);
        if (c.keptAsBad) {
            EXPECT_EQ(testsupport::readAll(bad), c.content);
        }
        const QValue now = readJson(m_file);
        EXPECT_TRUE(now.isNull() || now.isArray());
        EXPECT_EQ(static_cast<int>(now.size()), c.restored);
    }
}

TEST_F(WorkPoolTest, StopBeforeTheStartDoesNotWipePendingWork)
{
    const QValue valid = QDtaVideo(1700000000001LL, source(QStringLiteral("a.mp4")), pipelinetest::config(7)).toJson();
    QValue array(Json::arrayValue);
    QValue e(Json::objectValue);
    e["step"] = 0;
    e["data"] = valid;
    array.append(e);
    const QByteArray content = toStyledByteArray(array, true);
    ASSERT_TRUE(testsupport::writeAll(m_file, content));
    {
        auto pool = newPool();
        pool->stop();
    }
    EXPECT_EQ(testsupport::readAll(m_file), content);
}

// "work.json" as a kill leaves it in the middle of a run (copied while the stage runs): restored,
// the job runs again; restored once its record exists, it is done and never runs again.
TEST_F(WorkPoolTest, MidRunSnapshotRestoresAndARecordedJobIsNotRunAgain)
{
    const QString first = m_dir + QStringLiteral("snapshot1-work.json");
    const QString second = m_dir + QStringLiteral("snapshot2-work.json");
    qint64 id = 0;
    std::shared_ptr<QDtaVideo> video;
    {
        auto pool = newPool();
        pool->start(1);
        auto work = pool->addWork(source(QStringLiteral("a.mp4")), pipelinetest::config(8));
        id = work->id();
        video = work->video();
        ASSERT_TRUE(testsupport::waitUntil([&]() { return m_control->runningNow() == 1; }, 5000));
        ASSERT_TRUE(QFile::copy(m_file, first));
        ASSERT_TRUE(QFile::copy(m_file, second));
        pool->stop();
    }
    m_control->open();
    for (const QString &snapshot : {first, second}) {
        m_file = snapshot;
        auto pool = newPool();
        PoolEvents events;
        events.watch(*pool);
        pool->start(1);
        ASSERT_NE(pool->work(id), nullptr);
        ASSERT_TRUE(testsupport::waitUntil([&]() { return events.completedCount() == 1; }, 5000));
        EXPECT_TRUE(pool->work(id)->isComplete());
        pool->stop();
        EXPECT_TRUE(readJson(snapshot).isNull());
        if (snapshot == first) {
            EXPECT_EQ(m_control->runsOf(id), 2) << "not recorded yet: it runs again";
            // What the stage leaves: the output under its final name and the job's record.
            const QString output = QFrameModel::finalPathOf(*video);
            ASSERT_TRUE(testsupport::writeAll(output, "encrypted"));
            QRecords::instance()->addJobRecord(id, output, output, 8);
        }
    }
    EXPECT_EQ(m_control->runsOf(id), 2) << "the recorded job ran again";
    EXPECT_EQ(QRecords::instance()->count(), 1);
}

// Tampered pending work: each job is shown with its refusal, never probed nor run, can't be
// retried and stays in "work.json" as it was; a sound job beside it runs.
TEST_F(WorkPoolTest, RestoreRefusesTamperedJobs)
{
    const qint64 goodId = 1700000000001LL;
    const qint64 badId = 1700000000002LL;
    const QString path = source(QStringLiteral("a.mp4"));
    const QValue good = QDtaVideo(goodId, source(QStringLiteral("b.mp4")), pipelinetest::config(7)).toJson();
    const QValue valid = QDtaVideo(badId, path, pipelinetest::config(7)).toJson();
    const QString mode = QStringLiteral("任务的加密模式无效，已拒绝执行！");
    const QString key = QStringLiteral("任务的输出文件名与任务不符，已拒绝执行！");
    const QString folder = QStringLiteral("任务的保存位置与源文件目录不符，已拒绝执行！");
    QDir().mkpath(m_dir + QStringLiteral("other"));
    m_control->open();

    struct Case
    {
        const char *what;
        std::function<void(QValue &)> tamper;
        QString message;
    } cases[] = {
        {"key naming the source", [](QValue &d) { d["video_key"] = "a.mp4"; }, key},
        {"key of another job", [](QValue &d) { d["video_key"] = QDtaVideo::makeVideoKey(1001, "12", 1700000000001LL, "a.mp4", 7).toStdString(); }, key},
        {"key of another teacher", [](QValue &d) { d["video_key"] = QDtaVideo::makeVideoKey(1002, "12", 1700000000002LL, "a.mp4", 7).toStdString(); }, key},
        {"mode missing", [](QValue &d) { d["config"].removeMember("encrypt_type"); }, mode},
        {"mode as text", [](QValue &d) { d["config"]["encrypt_type"] = "7"; }, mode},
        {"mode 0", [](QValue &d) { d["config"]["encrypt_type"] = 0; }, mode},
        {"mode 260", [](QValue &d) { d["config"]["encrypt_type"] = 260; }, mode},
        {"mode 7.5", [](QValue &d) { d["config"]["encrypt_type"] = 7.5; }, mode},
        {"save path elsewhere", [this](QValue &d) { d["save_path"] = (m_dir + QStringLiteral("other/")).toStdString(); }, folder},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        m_file = m_dir + QStringLiteral("work%1.json").arg(n++);
        QValue tampered = valid;
        c.tamper(tampered);
        QValue array(Json::arrayValue);
        for (const QValue &data : {good, tampered}) {
            QValue e(Json::objectValue);
            e["step"] = 1;
            e["data"] = data;
            array.append(e);
        }
        ASSERT_TRUE(QJsonFile::write(m_file, array, true));
        const int probes = m_probes->load();

        auto pool = newPool();
        PoolEvents events;
        events.watch(*pool);
        std::vector<std::unique_ptr<ErrorLog>> logs;
        QObject::connect(pool.get(), &QWorkPool::addItem, [&](QFileWork *work) {
            if (work->id() == badId)
                logs.emplace_back(new ErrorLog(work));
        });
        pool->start(1);
        ASSERT_EQ(pool->count(), 2);
        ASSERT_EQ(logs.size(), 1u);
        ASSERT_TRUE(testsupport::waitUntil([&]() { return events.completedCount() == 1 && logs[0]->count() == 1; }, 5000));
        EXPECT_EQ(logs[0]->at(0), c.message);
        auto refused = pool->work(badId);
        ASSERT_NE(refused, nullptr);
        EXPECT_TRUE(refused->isRefused());
        EXPECT_FALSE(pool->retryWork(badId));
        pool->runWork(badId);
        EXPECT_EQ(m_control->runsOf(badId), 0);
        EXPECT_EQ(m_probes->load(), probes) << "a refused job was probed";
        pool->stop();
        const QValue saved = readJson(m_file);
        ASSERT_EQ(saved.size(), 1u);
        EXPECT_EQ(toStyledByteArray(saved[0]["data"], false), toStyledByteArray(tampered, false))
            << "the refused job is kept as it was stored";
    }
    EXPECT_EQ(m_control->runsOf(goodId), static_cast<int>(std::size(cases)));
}

// Restored quality texts reach ffmpeg's arguments and the encryption program's output chain:
// each text the settings dialog can't give (written into "work.json" as raw JSON) refuses its job
// like the other restore checks; the dialog's presets run.
TEST_F(WorkPoolTest, RestoreChecksQualityTexts)
{
    const qint64 goodId = 1700000000001LL;
    const qint64 jobId = 1700000000002LL;
    const QValue good = QDtaVideo(goodId, source(QStringLiteral("b.mp4")), pipelinetest::config(8)).toJson();
    const QValue base = QDtaVideo(jobId, source(QStringLiteral("a.mp4")), pipelinetest::config(8)).toJson();
    const QString refused = QStringLiteral("任务的画质设置无效，已拒绝执行！");
    const QString longText = QStringLiteral("\"-b:v 256k%1\"").arg(QString(100000, QLatin1Char(' ')));
    m_control->open();

    struct Case
    {
        const char *what;
        const char *key;
        QString raw;      // the member's JSON text as written
        QString expected; // the refusal, or empty when the job runs
        QString used;     // the quality text the job runs with
    };
    const std::vector<Case> cases {
        {"extra input", "web_quality", "\"-b:v 256k -i /etc/passwd\"", refused, {}},
        {"input alone", "web_quality", "\"-i /etc/passwd\"", refused, {}},
        {"a second output", "web_quality", "\"-b:v 256k -y /tmp/copy.mp4\"", refused, {}},
        {"format option", "web_quality", "\"-f\"", refused, {}},
        {"shell separator", "web_quality", "\";\"", refused, {}},
        {"preset with a separator", "web_quality", "\"-b:v 256k; rm -rf ~\"", refused, {}},
        {"preset with a blank before", "web_quality", "\" -b:v 256k\"", refused, {}},
        {"preset with a NUL", "web_quality", "\"-b:v 256k\\u0000-i x\"", refused, {}},
        {"very long", "web_quality", longText, refused, {}},
        {"number", "web_quality", "256", refused, {}},
        {"list", "web_quality", "[\"-b:v 256k\"]", refused, {}},
        {"object", "web_quality", "{}", refused, {}},
        {"null", "web_quality", "null", refused, {}},
        {"duplicate key, hostile last", "web_quality", "\"-b:v 256k\", \"web_quality\" : \"-i /etc/passwd\"", refused, {}},
        {"second output in the chain", "codec_quality",
         "\"samplerate=48000,vb=768}:std{access=file,mux=mp4,dst=/tmp/x.mp4}:duplicate{dst=display\"", refused, {}},
        {"destination option", "codec_quality", "\"samplerate=48000,dst=/tmp/x.mp4\"", refused, {}},
        {"sout option", "codec_quality", "\":sout=#file{dst=/tmp/x.mp4}\"", refused, {}},
        {"chain break", "codec_quality", "\"samplerate=48000}:std{dst=/tmp/x\"", refused, {}},
        {"option twice", "codec_quality", "\"samplerate=48000,vb=768,vb=1024\"", refused, {}},
        {"options out of order", "codec_quality", "\"samplerate=48000,ab=128,vb=768\"", refused, {}},
        {"bitrate not offered", "codec_quality", "\"samplerate=48000,vb=100000\"", refused, {}},
        {"other sample rate", "codec_quality", "\"samplerate=44100\"", refused, {}},
        {"very long chain", "codec_quality", longText, refused, {}},
        {"chain as a number", "codec_quality", "48000", refused, {}},
        {"chain as an object", "codec_quality", "{\"vb\": 768}", refused, {}},
        {"duplicate chain, hostile last", "codec_quality", "\"samplerate=48000\", \"codec_quality\" : \"dst=/tmp/x\"", refused, {}},
        // What runs is what was checked: of duplicate keys the reader keeps the last.
        {"duplicate key, preset last", "web_quality", "\"-i /etc/passwd\", \"web_quality\" : \"-b:v 512k\"", {}, "-b:v 512k"},
        {"empty web quality", "web_quality", "\"\"", {}, ""},
        {"preset 256k", "web_quality", "\"-b:v 256k\"", {}, "-b:v 256k"},
        {"preset 1024k", "web_quality", "\"-b:v 1024k\"", {}, "-b:v 1024k"},
        {"empty chain", "codec_quality", "\"\"", {}, ""},
        {"chain of sample rate only", "codec_quality", "\"samplerate=48000\"", {}, "samplerate=48000"},
        {"full chain", "codec_quality", "\"samplerate=48000,vb=512,ab=64,scale=1.75,width=1280,height=720\"", {},
         "samplerate=48000,vb=512,ab=64,scale=1.75,width=1280,height=720"},
        {"chain with resolution only", "codec_quality", "\"samplerate=48000,scale=1.33,width=720,height=480\"", {},
         "samplerate=48000,scale=1.33,width=720,height=480"},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        m_file = m_dir + QStringLiteral("quality%1.json").arg(n++);
        QValue data = base;
        data["config"][c.key] = "@raw@";
        QValue array(Json::arrayValue);
        for (const QValue &d : {good, data}) {
            QValue e(Json::objectValue);
            e["step"] = 1;
            e["data"] = d;
            array.append(e);
        }
        QByteArray text = toStyledByteArray(array, true);
        ASSERT_EQ(text.count("\"@raw@\""), 1);
        text.replace("\"@raw@\"", c.raw.toUtf8());
        ASSERT_TRUE(testsupport::writeAll(m_file, text));
        const QValue stored = readJson(m_file);
        ASSERT_EQ(stored.size(), 2u) << "the case is no JSON";
        const int runs = m_control->runsOf(jobId);

        auto pool = newPool();
        PoolEvents events;
        events.watch(*pool);
        std::vector<std::unique_ptr<ErrorLog>> logs;
        QObject::connect(pool.get(), &QWorkPool::addItem, [&](QFileWork *work) {
            if (work->id() == jobId)
                logs.emplace_back(new ErrorLog(work));
        });
        pool->start(1);
        ASSERT_EQ(pool->count(), 2);
        auto job = pool->work(jobId);
        ASSERT_NE(job, nullptr);
        if (c.expected.isEmpty()) {
            ASSERT_TRUE(testsupport::waitUntil([&]() { return events.completedCount() == 2; }, 5000));
            EXPECT_FALSE(job->isRefused());
            EXPECT_EQ(m_control->runsOf(jobId), runs + 1);
            const QDtaConfig &config = job->video()->config();
            EXPECT_EQ(QString::fromLatin1(c.key) == QLatin1String("web_quality") ? config.webQuality() : config.codecQuality(),
                      c.used);
            pool->stop();
            continue;
        }
        ASSERT_EQ(logs.size(), 1u);
        ASSERT_TRUE(testsupport::waitUntil([&]() { return events.completedCount() == 1 && logs[0]->count() == 1; }, 5000));
        EXPECT_EQ(logs[0]->at(0), c.expected);
        EXPECT_TRUE(job->isRefused());
        EXPECT_FALSE(pool->retryWork(jobId));
        pool->runWork(jobId);
        EXPECT_EQ(m_control->runsOf(jobId), runs) << "a refused job ran";
        pool->stop();
        const QValue saved = readJson(m_file);
        ASSERT_EQ(saved.size(), 1u);
        EXPECT_EQ(toStyledByteArray(saved[0]["data"], false), toStyledByteArray(stored[1]["data"], false))
            << "the refused job is kept as it was read";
    }
}

// The files of one confirmed batch are on disk together before the first of them is announced.
TEST_F(WorkPoolTest, BatchIsSavedWholeBeforeAnyIsAnnounced)
{
    auto pool = newPool();
    pool->start(1);
    std::vector<int> seen;
    QObject::connect(pool.get(), &QWorkPool::addItem, [&](QFileWork *) { seen.push_back(static_cast<int>(readJson(m_file).size())); });
    QStringList paths;
    for (int i = 0; i < 4; ++i)
        paths << source(QStringLiteral("v%1.mp4").arg(i));
    const auto works = pool->addWorks(paths, pipelinetest::config(8));
    EXPECT_EQ(works.size(), 4);
    EXPECT_EQ(seen, (std::vector<int> {4, 4, 4, 4}));

    // A batch whose settings can't make jobs queues nothing and says why.
    EXPECT_THROW(pool->addWorks(paths, pipelinetest::config(8, QStringLiteral("x"))), UException);
    EXPECT_EQ(pool->count(), 4);
    pool->stop();
}

// Ids beyond the clock are not followed: the next id neither overflows nor jumps.
TEST_F(WorkPoolTest, IdsNeverOverflow)
{
    QFileWork::noteId(std::numeric_limits<qint64>::max());
    const qint64 id = QFileWork::nextId();
    EXPECT_GT(id, 0);
    EXPECT_LT(id, std::numeric_limits<qint64>::max() / 2);
    EXPECT_GT(QFileWork::nextId(), id);
}

// A damaged "work.json" is kept aside and the user is told once, with the kept copy's name.
TEST_F(WorkPoolTest, DamagedFileIsReportedOnceWithTheKeptName)
{
    ASSERT_TRUE(testsupport::writeAll(m_file, "[{\"data\": "));
    auto pool = newPool();
    pool->start(0);
    const QString notice = pool->takeSetAsideNotice();
    EXPECT_TRUE(notice.contains(m_file + QStringLiteral(".bad"))) << notice.toStdString();
    EXPECT_TRUE(pool->takeSetAsideNotice().isEmpty());
    pool->stop();
    EXPECT_EQ(testsupport::readAll(m_file + QStringLiteral(".bad")), QByteArray("[{\"data\": "));
}

TEST(OverallProgressTest, RuleOverRowStates)
{
    using Job = QWorkPool::JobProgress;
    const Job done {true, false, 100};
    const Job waiting {false, false, 0};
    const Job failed {false, true, 99};
    struct Case
    {
        const char *name;
        QList<Job> jobs;
        int expected;
    };
    const std::vector<Case> cases {
        {"no jobs", {}, 0},
        {"one done, two new ones waiting", {done, waiting, waiting}, 33},
        {"running at 60 beside a waiting one", {Job {false, false, 60}, waiting}, 30},
        {"a failed one at 99 is left out", {done, failed}, 100},
        {"only failed ones", {failed, failed}, 0},
        {"done, failed and waiting", {done, failed, waiting}, 50},
        {"a done Web job counts whole, whatever its stage reached", {Job {true, false, 50}}, 100},
        {"a percent past 100 counts as 100", {Job {false, false, 150}, waiting}, 50},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(QWorkPool::overallPercent(c.jobs), c.expected);
    }
}

TEST_F(WorkPoolTest, OverallProgressFollowsAddedEndedAndRetriedJobs)
{
    m_control->failures = 1;
    auto pool = newPool();
    PoolEvents events;
    events.watch(*pool);
    const auto last = [&events]() {
        std::lock_guard<std::mutex> lock(events.mutex);
        return events.progress.empty() ? -1 : events.progress.back();
    };
    pool->start(1);
    // Held at the gate until the error log is connected.
    auto failing = pool->addWork(source(QStringLiteral("a.mp4")), pipelinetest::config(7));
    ErrorLog errors(failing.get());
    m_control->open();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return errors.count() == 1 && !failing->isClaimed(); }, 5000));
    auto done = pool->addWork(source(QStringLiteral("b.mp4")), pipelinetest::config(7));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return events.completedCount() == 1; }, 5000));
    EXPECT_EQ(last(), 100) << "the failed job is left out";

    {
        std::lock_guard<std::mutex> lock(m_control->mutex);
        m_control->openGate = false;
    }
    pool->addWorks({source(QStringLiteral("c.mp4")), source(QStringLiteral("d.mp4"))}, pipelinetest::config(7));
    EXPECT_EQ(last(), 33) << "new jobs count at 0";
    ASSERT_TRUE(pool->retryWork(failing->id()));
    EXPECT_EQ(last(), 25) << "a job queued again counts again, from 0";
    pool->removeWork(failing->id());
    EXPECT_EQ(last(), 33);
    m_control->open();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return events.completedCount() == 3; }, 5000));
    EXPECT_EQ(last(), 100);
    pool->stop();
}

// A "work.json" that can't be written is told once, not at every change, and every change
// tries again: once it can be written, it holds all the pending work.
TEST_F(WorkPoolTest, FailedSaveOfThePendingWorkIsToldOnceAndRetried)
{
    auto pool = newPool();
    pool->start(0);
    QSignalSpy told(pool.get(), SIGNAL(saveFailed(QString)));
    QJsonFile::setWriteFaultForTests(m_file, QStringLiteral("No space left on device"));
    for (int i = 0; i < 3; ++i)
        pool->addWork(source(QStringLiteral("a.mp4")), pipelinetest::config(7));
    QCoreApplication::processEvents();
    ASSERT_EQ(told.count(), 1);
    EXPECT_TRUE(told.at(0).at(0).toString().contains(QStringLiteral("无法保存待处理的任务"))) << told.at(0).at(0).toString().toStdString();
    EXPECT_TRUE(told.at(0).at(0).toString().contains(QDir::toNativeSeparators(QDir::cleanPath(m_dir))));
    EXPECT_EQ(readJson(m_file).size(), 0u) << "nothing of the three reached the file";

    QJsonFile::setWriteFaultForTests(QString(), QString());
    pool->addWork(source(QStringLiteral("b.mp4")), pipelinetest::config(7));
    EXPECT_EQ(readJson(m_file).size(), 4u);
    // Failing again after a save that worked is told again.
    QJsonFile::setWriteFaultForTests(m_file, QStringLiteral("No space left on device"));
    pool->addWork(source(QStringLiteral("c.mp4")), pipelinetest::config(7));
    QCoreApplication::processEvents();
    EXPECT_EQ(told.count(), 2);
    QJsonFile::setWriteFaultForTests(QString(), QString());
    pool->stop();
    EXPECT_EQ(readJson(m_file).size(), 5u);
}

// Behind three busy workers, a file that can't be a job fails as soon as it is added, with the
// probe's reason, and never reaches a worker; a retry is refused at once too. The busy jobs go on.
TEST_F(WorkPoolTest, FileThatCannotBeAJobIsRefusedAtOnceBehindBusyWorkers)
{
    struct Case
    {
        const char *name;
        std::function<bool(const QString &)> make;
        int mode;
        const char *reason; // the start of the row's text
    };
    // Its index at the front: cut short, it still names every sample.
    const QByteArray clip = testsupport::readAll(testsupport::makeClip(QStringLiteral("h264-160x120-2s-faststart.mp4"),
        {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("testsrc=size=160x120:rate=25:duration=2"),
         QStringLiteral("-c:v"), QStringLiteral("libx264"), QStringLiteral("-preset"), QStringLiteral("ultrafast"),
         QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"), QStringLiteral("-movflags"), QStringLiteral("+faststart")}));
    const QByteArray tone = testsupport::readAll(testsupport::clipMp3());
    ASSERT_FALSE(clip.isEmpty());
    ASSERT_FALSE(tone.isEmpty());
    const std::vector<Case> cases {
        {"text.mp4", [](const QString &p) { return testsupport::writeAll(p, "这不是视频，只是改了后缀名的笔记。\n"); }, 7,
         "文件中没有可识别的视频或音频（不是视频文件或文件已损坏），无法加密！"},
        {"empty.mp4", [](const QString &p) { return testsupport::writeAll(p, QByteArray()); }, 8,
         "文件是空的，不是视频文件，无法加密！"},
        {"tone.mp4", [&tone](const QString &p) { return testsupport::writeAll(p, tone); }, 8,
         "文件中没有视频画面，高强度重编码加密只能用于视频文件！"},
        {"cut.mp4", [&clip](const QString &p) { return testsupport::writeAll(p, clip.left(clip.size() * 9 / 10)); }, 4,
         "视频文件不完整："},
    };

    // Declared before the pool: its end may still report to them.
    std::mutex mutex;
    std::map<qint64, QStringList> errors;
    PoolEvents events;
    auto pool = newPool();
    events.watch(*pool);
    // Connected as each job is announced, before it can be looked at.
    QObject::connect(pool.get(), &QWorkPool::addItem, [&](QFileWork *work) {
        const qint64 id = work->id();
        QObject::connect(work, &QFileWork::signal_error, [&, id](const QString &message) {
            std::lock_guard<std::mutex> lock(mutex);
            errors[id] << message;
        });
    });
    const auto errorsOf = [&](qint64 id) {
        std::lock_guard<std::mutex> lock(mutex);
        return errors.count(id) ? errors[id] : QStringList();
    };
    pool->start(3);
    for (int i = 0; i < 3; ++i)
        pool->addWork(source(QStringLiteral("long%1.mp4").arg(i)), pipelinetest::config(7));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return m_control->runningNow() == 3; }, 5000));

    std::vector<std::shared_ptr<QFileWork>> refused;
    for (const Case &c : cases) {
        const QString path = m_dir + QString::fromUtf8(c.name);
        ASSERT_TRUE(c.make(path)) << c.name;
        refused.push_back(pool->addWork(path, pipelinetest::config(c.mode)));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const qint64 id = refused[i]->id();
        ASSERT_TRUE(testsupport::waitUntil([&]() { return !errorsOf(id).isEmpty(); }, 20000));
        EXPECT_TRUE(errorsOf(id).first().startsWith(QString::fromUtf8(cases[i].reason))) << errorsOf(id).first().toStdString();
        EXPECT_TRUE(refused[i]->isStopped());
        EXPECT_EQ(refused[i]->step(), 0);
        // Told again at once when tried again.
        EXPECT_TRUE(pool->retryWork(id));
        ASSERT_TRUE(testsupport::waitUntil([&]() { return errorsOf(id).size() == 2; }, 20000));
        EXPECT_EQ(errorsOf(id).at(1), errorsOf(id).at(0));
    }
    // All the while the three workers were held by their jobs: nothing waited for one of them.
    EXPECT_EQ(m_control->runningNow(), 3);
    EXPECT_EQ(m_probes->load(), 3);
    for (const auto &work : refused)
        EXPECT_EQ(m_control->runsOf(work->id()), 0);

    m_control->open();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return events.completedCount() == 3; }, 5000));
    pool->stop();
    for (const auto &work : refused)
        EXPECT_EQ(m_control->runsOf(work->id()), 0) << "a refused job never reaches a stage";
}

// The same on a real full disk: "work.json" keeps the pending work it had, the failure is told
// once with the disk's reason, and the first change after room came back saves everything.
TEST_F(WorkPoolTest, FullDiskKeepsThePendingWorkAndTheNextChangeAfterItSavesAll)
{
    testsupport::Tmpfs disk(1024 * 1024);
    if (!disk.mounted())
        GTEST_SKIP() << disk.why().toStdString();
    m_file = disk.path() + QStringLiteral("work.json");
    auto pool = newPool();
    pool->start(0);
    QSignalSpy told(pool.get(), SIGNAL(saveFailed(QString)));
    pool->addWork(source(QStringLiteral("a.mp4")), pipelinetest::config(7));
    const QByteArray saved = testsupport::readAll(m_file);
    ASSERT_EQ(readJson(m_file).size(), 1u);

    ASSERT_TRUE(disk.fill());
    for (const char *name : {"b.mp4", "c.mp4", "d.mp4"})
        pool->addWork(source(QString::fromLatin1(name)), pipelinetest::config(7));
    QCoreApplication::processEvents();
    ASSERT_EQ(told.count(), 1);
    EXPECT_TRUE(told.at(0).at(0).toString().contains(QString::fromLocal8Bit(std::strerror(ENOSPC)))) << told.at(0).at(0).toString().toStdString();
    EXPECT_EQ(testsupport::readAll(m_file), saved);

    disk.release();
    pool->addWork(source(QStringLiteral("e.mp4")), pipelinetest::config(7));
    EXPECT_EQ(readJson(m_file).size(), 5u);
    pool->stop();
    EXPECT_EQ(readJson(m_file).size(), 5u);
}
