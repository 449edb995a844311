// Work items and the work pool, with a stage the test controls.
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include <QDir>
#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "pipelinehelpers.h"
#include "qbase.h"
#include "qdtavideo.h"
#include "qfilework.h"
#include "qjsonfile.h"
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
                throw UException("!m_stopped", QStringLiteral("sorbin exit crash"), __FILE__, __LINE__);
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
        if (!QFile::exists(path))
            testsupport::writeAll(path, "video");
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
    auto work = pool->addWork(source(QStringLiteral("a.mp4")), pipelinetest::config(8));
    QSignalSpy errors(work.get(), SIGNAL(signal_error(QString)));
    m_control->open();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return errors.count() == 1; }, 5000));
    EXPECT_EQ(errors.at(0).at(0).toString(), QStringLiteral("视频加密异常"));
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
    QSignalSpy errors(work.get(), SIGNAL(signal_error(QString)));
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
        {"bad elements skipped", document({QValue(5), element(1, QValue("x")), element(1, traversal), element(1, valid)}), 1, 1, true},
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

TEST_F(WorkPoolTest, KilledProgramPicksItsWorkUpAgain)
{
    const QString killedFile = m_dir + QStringLiteral("killed-work.json");
    qint64 id = 0;
    {
        auto pool = newPool();
        pool->start(1);
        id = pool->addWork(source(QStringLiteral("a.mp4")), pipelinetest::config(8))->id();
        ASSERT_TRUE(testsupport::waitUntil([&]() { return m_control->runningNow() == 1; }, 5000));
        // What a program killed now leaves behind.
        ASSERT_TRUE(QFile::copy(m_file, killedFile));
        pool->stop();
    }
    m_control->open();
    m_file = killedFile;
    auto pool = newPool();
    PoolEvents events;
    events.watch(*pool);
    pool->start(1);
    ASSERT_NE(pool->work(id), nullptr);
    ASSERT_TRUE(testsupport::waitUntil([&]() { return events.completedCount() == 1; }, 5000));
    EXPECT_TRUE(pool->work(id)->isComplete());
    pool->stop();
    EXPECT_TRUE(readJson(killedFile).isNull());
}
