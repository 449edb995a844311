#include <chrono>
#include <memory>

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include "platformserver.h"
#include "qhttpclient.h"
#include "replyrecorder.h"
#include "testsupport.h"

namespace
{
    std::shared_ptr<HRequest> slowRequest(const QString &url)
    {
        auto request = std::make_shared<HRequest>();
        request->setUrl(url);
        request->setMethod(HRequest::Get);
        // Far longer than the test may take: only cutting the transfer off ends it in time.
        request->setTimeout(120);
        return request;
    }
}

// At exit nobody reads the replies: queued and running requests to a server that never
// answers are dropped or cut off, and the workers end at once instead of after each timeout.
TEST(HttpExit, ShutdownDropsRequestsNobodyListensTo)
{
    registerQValueMetaType();
    // Takes connections and never answers.
    testsupport::SilentServer silent;
    ASSERT_TRUE(silent.listening());
    const QString url = QStringLiteral("http://127.0.0.1:%1/").arg(silent.port());

    QHttpClient pool;
    pool.start(3);
    auto recorder = std::make_unique<ReplyRecorder>();
    std::vector<std::shared_ptr<HRequest>> requests;
    for (int i = 0; i < 9; ++i)
    {
        auto request = slowRequest(url);
        // Some had a receiver that is gone by the time the program ends.
        if (i % 2 == 0)
            ASSERT_TRUE(QHttpClient::connectReply(request.get(), false, recorder.get(), "onTestReponse(bool, const QValue&, const QString&)"));
        requests.push_back(request);
        pool.addRequest(request);
    }
    recorder.reset();
    for (const auto &request : requests)
        EXPECT_FALSE(request->hasListener());

    // Each of the three workers waits on an answer; six requests are still queued.
    ASSERT_TRUE(testsupport::waitUntil([&] { return silent.connections() == 3; }, 5000));

    QElapsedTimer clock;
    clock.start();
    pool.shutdown();
    // libcurl looks at the cut-off about once a second; the requests' own timeout is 120 s.
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_EQ(pool.workerCount(), 0);
    // The queued ones never went out.
    testsupport::waitUntil([] { return false; }, 200);
    EXPECT_EQ(silent.connections(), 3);
}

// A request whose answer someone still waits for is performed, even at exit.
TEST(HttpExit, ShutdownStillPerformsRequestsWithAListener)
{
    registerQValueMetaType();
    std::unique_ptr<PlatformServer> server = PlatformServer::startDemo();
    ASSERT_TRUE(server);
    const QString base = QStringLiteral("http://%1/").arg(QString::fromStdString(server->host()));

    QHttpClient pool;
    ReplyRecorder recorder;
    auto heard = slowRequest(base);
    heard->setRawBytes(true);
    ASSERT_TRUE(QHttpClient::connectReply(heard.get(), true, &recorder, "onBytesReponse(bool, const QByteArray&, const QString&)"));
    auto unheard = slowRequest(base + QStringLiteral("unheard"));
    // Queued before any worker runs, so that shutdown finds both in the queue.
    pool.addRequest(unheard);
    pool.addRequest(heard);
    EXPECT_TRUE(heard->hasListener());
    pool.start(1);
    pool.shutdown();

    ASSERT_TRUE(testsupport::waitUntil([&] { return recorder.replies.size() == 1; }, 5000));
    EXPECT_TRUE(recorder.replies[0].ok);
    int unheardSeen = 0;
    for (const auto &r : server->requests())
        unheardSeen += r.path.find("unheard") != std::string::npos ? 1 : 0;
    EXPECT_EQ(unheardSeen, 0);
}
