#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <QObject>

#include <gtest/gtest.h>

#include "platformserver.h"
#include "qhttpclient.h"
#include "qrequestparam.h"
#include "replyrecorder.h"
#include "testsupport.h"
#include "uexception.h"

namespace
{
    class PoolTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            registerQValueMetaType();
            m_server = PlatformServer::startDemo();
            ASSERT_TRUE(m_server);
        }

        // A web-API request whose "key" carries the number n, so that the log shows the order.
        std::shared_ptr<HRequest> numbered(int n)
        {
            auto request = std::make_shared<HRequest>();
            request->setUrl(QStringLiteral("http://%1/index.php?app=api&mod=Login&act=login&")
                                .arg(QString::fromStdString(m_server->host())));
            QRequestParam params;
            params.add(QStringLiteral("vid"), QString::number(n), true);
            request->addParam(QStringLiteral("key"), params.toEncrypted());
            return request;
        }

        std::vector<int> loggedOrder() const
        {
            std::vector<int> order;
            for (const auto &r : m_server->requests("Login/login"))
                order.push_back(std::stoi(r.innerValue("vid")));
            return order;
        }

        std::unique_ptr<PlatformServer> m_server;
    };

    // Throws from inside the worker's run() through a direct connection.
    class Thrower : public QObject
    {
        Q_OBJECT

    public:
        int kind = 0;

    public slots:
        void onThrowReponse(bool, const QValue &, const QString &)
        {
            if (kind == 0)
                throw UException("false", L"from a reply", __FILE__, __LINE__);
            if (kind == 1)
                throw std::runtime_error("from a reply");
            throw 42;
        }
    };
}

// 30 calls against a slow server: every reply arrives, never more than 3 at once.
TEST_F(PoolTest, ThreeWorkersServeThirtyCalls)
{
    Fault slow;
    slow.delayMs = 100;
    m_server->setFault("Login/login", slow);
    QHttpClient pool;
    pool.start(3);
    ReplyRecorder recorder;
    for (int i = 0; i < 30; ++i)
    {
        auto request = numbered(i);
        ASSERT_TRUE(QHttpClient::connectReply(request.get(), false, &recorder, "onTestReponse(bool, const QValue&, const QString&)"));
        pool.addRequest(request);
    }
    ASSERT_TRUE(testsupport::waitUntil([&] { return recorder.replies.size() == 30; }, 30000));
    // Never more than the workers; more than one shows they really overlap (no timing bound).
    EXPECT_LE(m_server->maxInFlight(), 3);
    EXPECT_GE(m_server->maxInFlight(), 2);
    for (const auto &r : recorder.replies)
        EXPECT_FALSE(r.ok);   // no account: a refusal with the server's text
    EXPECT_EQ(recorder.replies[0].message, QStringLiteral("用户名或密码错误"));
    pool.stop();
    EXPECT_EQ(pool.workerCount(), 0);
}

TEST_F(PoolTest, OneWorkerKeepsQueueOrderAndStopDrainsTheQueue)
{
    QHttpClient pool;
    ReplyRecorder recorder;
    // Queued before any worker exists: they wait for start().
    for (int i = 0; i < 8; ++i)
    {
        auto request = numbered(i);
        QHttpClient::connectReply(request.get(), false, &recorder, SLOT(onTestReponse(bool, const QValue &, const QString &)));
        pool.addRequest(request);
    }
    pool.start(1);
    pool.stop();
    // stop() returned: every queued request was performed, in order.
    EXPECT_EQ(loggedOrder(), (std::vector<int> {0, 1, 2, 3, 4, 5, 6, 7}));
    ASSERT_TRUE(testsupport::waitUntil([&] { return recorder.replies.size() == 8; }, 5000));
}

// Start and stop many times, with and without work; a hang fails on the test's time limit.
TEST_F(PoolTest, ManyStartStopCyclesNeverHang)
{
    QHttpClient pool;
    for (int cycle = 0; cycle < 200; ++cycle)
    {
        pool.start(1 + cycle % 3);
        if (cycle % 20 == 0)
            pool.addRequest(numbered(cycle));
        pool.stop();
    }
    EXPECT_EQ(loggedOrder().size(), 10u);
    // The destructor stops workers that nobody stopped.
    {
        QHttpClient left;
        left.start(2);
        left.addRequest(numbered(1000));
    }
    EXPECT_EQ(loggedOrder().back(), 1000);
}

// A throw inside a request is logged; the worker serves the next one.
TEST_F(PoolTest, WorkerSurvivesExceptions)
{
    QHttpClient pool;
    pool.start(1);
    for (int kind = 0; kind < 3; ++kind)
    {
        Thrower *t = new Thrower;
        t->kind = kind;
        auto request = numbered(kind);
        ASSERT_TRUE(QObject::connect(request.get(), SIGNAL(jsonFinished(bool, const QValue &, const QString &)), t,
                                     SLOT(onThrowReponse(bool, const QValue &, const QString &)), Qt::DirectConnection));
        pool.addRequest(request);
        pool.stop();
        pool.start(1);
        delete t;
    }
    ReplyRecorder recorder;
    auto last = numbered(9);
    QHttpClient::connectReply(last.get(), false, &recorder, "onTestReponse(bool,const QValue&,const QString&)");
    pool.addRequest(last);
    ASSERT_TRUE(testsupport::waitUntil([&] { return recorder.replies.size() == 1; }, 5000));
    EXPECT_EQ(loggedOrder(), (std::vector<int> {0, 1, 2, 9}));
    pool.stop();
}

TEST_F(PoolTest, GetPostAndPing)
{
    qputenv("VANTREL_API_HOST", m_server->host().c_str());
    QHttpClient pool;
    pool.start(2);
    ReplyRecorder recorder;
    const QString base = QStringLiteral("http://%1/").arg(QString::fromStdString(m_server->host()));
    pool.get(base, &recorder, "onBytesReponse(bool, const QByteArray&, const QString&)", true);
    pool.post(base + QStringLiteral("index.php?app=api&mod=Login&act=login&"), QStringLiteral("名=1"), &recorder,
              "onTestReponse(bool, const QValue&, const QString&)", false);
    // A slot that does not exist: refused and logged, the request still runs.
    EXPECT_FALSE(QHttpClient::connectReply(nullptr, false, &recorder, "onTestReponse(bool, const QValue&, const QString&)"));
    pool.get(base, &recorder, "onMissingReponse(bool, const QValue&, const QString&)", false);
    pool.pingEncryptService();
    ASSERT_TRUE(testsupport::waitUntil([&] { return recorder.replies.size() == 2 && m_server->requests().size() == 4; }, 5000));
    pool.stop();

    bool sawBytes = false, sawJson = false;
    for (const auto &r : recorder.replies)
    {
        if (r.bytes.contains("platform"))
            sawBytes = r.ok;
        if (!r.bytes.size())
            sawJson = !r.ok && r.message == QStringLiteral("key invalid: missing");
    }
    EXPECT_TRUE(sawBytes);
    EXPECT_TRUE(sawJson);
    const auto log = m_server->requests();
    int gets = 0;
    for (const auto &r : log)
    {
        if (r.method == "GET")
            ++gets;
        else
            EXPECT_EQ(r.bodyLength, QByteArray("名=1").size());
    }
    EXPECT_EQ(gets, 3);
    qunsetenv("VANTREL_API_HOST");
}

#include "test_qhttpclient.moc"
