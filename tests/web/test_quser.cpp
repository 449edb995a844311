#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QObject>
#include <QPointer>

#include <gtest/gtest.h>

#include "cglobal.h"
#include "cstringhelp.h"
#include "platformserver.h"
#include "qhttpclient.h"
#include "quser.h"
#include "replyrecorder.h"
#include "servercrypto.h"
#include "testsupport.h"

using servercrypto::Pairs;

namespace
{
    const char *const kSlot = "onTestReponse(bool, const QValue&, const QString&)";
    const std::vector<std::string> kAuthClear {"app", "mod", "act", "oauth_token", "oauth_token_secret", "uname", "key"};

    // A started demo server that QUser talks to, and the HTTP workers.
    class QUserTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            registerQValueMetaType();
            m_server = PlatformServer::startDemo();
            ASSERT_TRUE(m_server);
            qputenv("VANTREL_API_HOST", m_server->host().c_str());
            QHttpClient::instance()->start(3);
            m_user = QUser::instance();
            // Signed out, whatever an earlier test signed in as.
            m_user->signOut();
            ASSERT_TRUE(QObject::connect(m_user, SIGNAL(tokenInvalid()), &m_recorder, SLOT(onTokenInvalid())));
        }

        void TearDown() override
        {
            QHttpClient::instance()->stop();
            QObject::disconnect(m_user, nullptr, &m_recorder, nullptr);
            m_server.reset();
            qunsetenv("VANTREL_API_HOST");
        }

        // Waits for n log entries, then returns the last one.
        RequestRecord waitForRequest(size_t n)
        {
            EXPECT_TRUE(testsupport::waitUntil([&] { return m_server->requests().size() >= n; }, 5000));
            const auto log = m_server->requests();
            return log.empty() ? RequestRecord() : log.back();
        }

        void signInAsDemo()
        {
            m_recorder.replies.clear();
            m_user->login(QStringLiteral("demo"), QStringLiteral("demo123"), &m_recorder, kSlot);
            ASSERT_TRUE(testsupport::waitUntil([&] { return m_recorder.replies.size() == 1; }, 5000));
            const ReplyRecorder::Reply reply = m_recorder.replies.takeFirst();
            m_recorder.events.clear();
            ASSERT_TRUE(reply.ok) << reply.message.toStdString();
            m_user->setTeacherId(asQString(jsonMember(reply.data, QStringLiteral("uid"))).toInt());
            m_user->setToken(asQString(jsonMember(reply.data, QStringLiteral("oauth_token"))),
                             asQString(jsonMember(reply.data, QStringLiteral("oauth_token_secret"))));
        }

        std::unique_ptr<PlatformServer> m_server;
        QUser *m_user = nullptr;
        ReplyRecorder m_recorder;
    };
}

// Every call, read back from the server's log: path, clear parameters, inner parameters.
TEST_F(QUserTest, EveryCallSendsItsPathAndParameters)
{
    const std::string mac = m_user->mac().toStdString();
    ASSERT_EQ(mac.size(), 10u);
    const std::string buildDate = std::to_string(CGlobal::buildDate());
    m_user->setToken(QStringLiteral("tok en"), QStringLiteral("sec/ret+"));
    m_user->setTeacherId(1001);

    QValue data;
    QString error;
    struct Case
    {
        const char *route;
        std::function<void()> call;
        Pairs inner;
        const char *app;
    };
    const std::vector<Case> cases {
        {"Login/login", [&] { m_user->login(QStringLiteral("a b"), QStringLiteral("p&w 名"), &m_recorder, kSlot); },
         {{"uname", "a b"}, {"upwd", "p&w 名"}, {"mac", mac}, {"builddate", buildDate}, {"teacher", "1"}}, "api"},
        {"Video/getAuthCode", [&] { m_user->getAuthCode(-7, QStringLiteral("12"), data, error); },
         {{"rand_enc", "-7"}, {"mac", mac}, {"courseId", "12"}}, "api"},
        {"Yunupload/WebGetKey", [&] { m_user->webGetKey(data, error); }, {}, "api"},
        {"Yunupload/getUploadToken", [&] { m_user->getUploadToken(data, error); }, {}, "api"},
        {"Yunupload/uploadInfo", [&] { m_user->uploadInfo(QStringLiteral("1001_12_9_a b.vep"), QStringLiteral("3"), QStringLiteral("320*240"), 1, 4, 5000000000LL, error); },
         {{"srcKey", "1001_12_9_a b.vep"}, {"duration", "3"}, {"resolution", "320*240"}, {"encrypted", "1"}, {"version", "4"}, {"size", "5000000000"}}, "api"},
        {"Yunupload/rename", [&] { m_user->rename(QStringLiteral("k1"), QStringLiteral("新 名.mp4"), &m_recorder, kSlot); },
         {{"srcKey", "k1"}, {"newName", "新 名.mp4"}}, "api"},
        {"Yunupload/delete", [&] { m_user->remove(QStringLiteral("k1"), &m_recorder, kSlot); }, {{"srcKey", "k1"}}, "api"},
        {"Teacher/teacherVideoList", [&] { m_user->teacherVideoList(QString(), &m_recorder, kSlot); }, {{"teacherId", "1001"}}, "api"},
        {"Teacher/teacherVideoList", [&] { m_user->teacherVideoList(QStringLiteral("a b"), &m_recorder, kSlot); },
         {{"teacherId", "1001"}, {"title", "a b"}}, "api"},
        {"Video/getVideoFile", [&] { m_user->getVideoFile(12, &m_recorder, kSlot); }, {{"courseId", "12"}}, "api"},
        {"Video/GetSearch", [&] { m_user->getSearch(QStringLiteral("课"), &m_recorder, kSlot); }, {{"title", "课"}}, "api"},
        {"Version/versionCheck", [&] { m_user->versionCheck(&m_recorder, kSlot); }, {{"version", "v601"}, {"type", "8"}}, "api"},
        {"Video/CreateVideo", [&] {
             QRequestParam p;
             p.add(QStringLiteral("CourseName"), QStringLiteral("新 课"), true);
             p.add(QStringLiteral("moIntro"), QStringLiteral("新 课"), true);
             p.add(QStringLiteral("Price"), QStringLiteral("0"), true);
             p.add(QStringLiteral("download"), QStringLiteral("1"), true);
             p.add(QStringLiteral("watch_online"), QStringLiteral("1"), true);
             p.add(QStringLiteral("publish"), QStringLiteral("1700000000"), true);
             m_user->createVideo(p, &m_recorder, kSlot);
         },
         {{"CourseName", "新 课"}, {"moIntro", "新 课"}, {"Price", "0"}, {"download", "1"}, {"watch_online", "1"}, {"publish", "1700000000"}}, "api"},
        {"Video/videoInfo", [&] { m_user->videoInfo(5, &m_recorder, kSlot); }, {{"vid", "5"}}, "api"},
        {"Teacher/GetSpaceAndFLux", [&] { m_user->getSpaceAndFlux(&m_recorder, kSlot); }, {{"teacherId", "1001"}}, "api"},
        {"Teacher/GetLectuer", [&] { m_user->getLecturer(&m_recorder, kSlot); }, {{"teacherId", "1001"}}, "api"},
        {"Upload/UploadSave", [&] { m_user->uploadSave(&m_recorder, kSlot); }, {}, "widget"},
    };
    size_t n = 0;
    for (const auto &c : cases)
    {
        c.call();
        const RequestRecord r = waitForRequest(++n);
        EXPECT_EQ(r.route, c.route);
        EXPECT_EQ(r.clearValue("app"), c.app) << c.route;
        EXPECT_EQ(r.method, "POST") << c.route;
        EXPECT_EQ(r.bodyLength, 0u) << c.route;
        EXPECT_EQ(r.lang, "en-us") << c.route;
        EXPECT_TRUE(r.keyError.empty()) << c.route << ": " << r.keyError;
        EXPECT_EQ(r.inner, c.inner) << c.route;
        // Inside "key" each value is percent-encoded exactly once (a blank as %20).
        std::string innerText;
        for (const auto &p : c.inner)
            innerText += (innerText.empty() ? "" : "&") + p.first + "=" + servercrypto::percentEncode(p.second);
        EXPECT_EQ(r.innerText, innerText) << c.route;
        const size_t key = r.target.find("&key=");
        ASSERT_NE(key, std::string::npos) << c.route;
        // The key's base64 text is escaped in the URL; only letters, digits and escapes remain.
        EXPECT_EQ(r.target.find_first_of("+/=", key + 5), std::string::npos) << r.target;
        if (std::string(c.route) == "Login/login")
        {
            EXPECT_EQ(r.innerText.rfind("uname=a%20b&upwd=p%26w%20%E5%90%8D&mac=", 0), 0u) << r.innerText;
            EXPECT_EQ(r.clearNames(), (std::vector<std::string> {"app", "mod", "act", "key"}));
            continue;
        }
        EXPECT_EQ(r.clearNames(), kAuthClear) << c.route;
        EXPECT_EQ(r.clearValue("oauth_token"), "tok en");
        EXPECT_EQ(r.clearValue("oauth_token_secret"), "sec/ret+");
        EXPECT_EQ(r.clearValue("uname"), "a b");
        EXPECT_NE(r.target.find("&oauth_token=tok%20en&oauth_token_secret=sec%2Fret%2B&uname=a%20b&key="), std::string::npos) << r.target;
    }
    EXPECT_EQ(m_user->uname(), QStringLiteral("a b"));
}

TEST_F(QUserTest, SignedOutCallsCarryEmptyCredentials)
{
    m_user->teacherVideoList(QString(), &m_recorder, kSlot);
    const RequestRecord r = waitForRequest(1);
    EXPECT_EQ(r.clearNames(), kAuthClear);
    EXPECT_NE(r.target.find("&oauth_token=&oauth_token_secret=&uname=&key="), std::string::npos) << r.target;
    EXPECT_EQ(r.inner, (Pairs {{"teacherId", "0"}}));
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_recorder.replies.size() == 1; }, 5000));
    EXPECT_FALSE(m_recorder.replies[0].ok);
}

// The demo account end to end: sign in, list, create, authorization code, version check.
TEST_F(QUserTest, SignsInAndWorksWithTheDemoAccount)
{
    signInAsDemo();
    EXPECT_EQ(m_user->teacherId(), 1001);

    m_user->teacherVideoList(QString(), &m_recorder, kSlot);
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_recorder.replies.size() == 1; }, 5000));
    ASSERT_TRUE(m_recorder.replies[0].ok) << m_recorder.replies[0].message.toStdString();
    EXPECT_EQ(jsonSize(m_recorder.replies[0].data), 2);

    QRequestParam p;
    p.add(QStringLiteral("CourseName"), QStringLiteral("第三门课"), true);
    m_user->createVideo(p, &m_recorder, kSlot);
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_recorder.replies.size() == 2; }, 5000));
    ASSERT_TRUE(m_recorder.replies[1].ok);
    ASSERT_TRUE(m_recorder.replies[1].data.isInt());
    const QString createdId = QString::number(m_recorder.replies[1].data.asInt());

    // A search by title (a blank and Chinese in it) finds the one course, and so does the new name.
    m_user->teacherVideoList(QStringLiteral("Web 模式"), &m_recorder, kSlot);
    m_user->teacherVideoList(QStringLiteral("第三门"), &m_recorder, kSlot);
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_recorder.replies.size() == 4; }, 5000));
    for (int i : {2, 3})
    {
        const ReplyRecorder::Reply &found = m_recorder.replies[i];
        ASSERT_TRUE(found.ok) << found.message.toStdString();
        ASSERT_EQ(jsonSize(found.data), 1);
        const QString id = asQString(jsonMember(found.data[0], QStringLiteral("id")));
        EXPECT_EQ(id, found.data[0]["video_title"].asString() == "第三门课" ? createdId : QStringLiteral("13"));
    }

    m_user->versionCheck(&m_recorder, kSlot);
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_recorder.replies.size() == 5; }, 5000));
    EXPECT_FALSE(m_recorder.replies[4].ok);            // the demo offers no newer version
    EXPECT_FALSE(m_recorder.replies[4].message.isEmpty());

    // The authorization code deciphers as the encryption stage does it.
    QValue data;
    QString error;
    ASSERT_TRUE(m_user->getAuthCode(42, QStringLiteral("12"), data, error)) << error.toStdString();
    const std::string code = asQString(jsonMember(data, QStringLiteral("authCode"))).toStdString();
    ASSERT_GT(code.size(), 2u);
    const std::string rest = code.substr(2);
    EXPECT_EQ(code.substr(0, 2), CStringHelp::md5Variant(rest).substr(0, 2));
    const std::string key = CStringHelp::md5Variant(m_user->mac().toStdString() + "12");
    EXPECT_EQ(CStringHelp::aesDecrypt(rest, key), "{\"str\":\"demo-key-12\"}");

    QValue token;
    ASSERT_TRUE(m_user->getUploadToken(token, error));
    EXPECT_TRUE(m_server->isUploadToken(asQString(jsonMember(token, QStringLiteral("uptoken"))).toStdString()));
    EXPECT_TRUE(m_recorder.events.indexOf(QStringLiteral("token")) < 0);
}

// Code 4: one tokenInvalid() reaches the GUI thread before the call's own failure; a
// synchronous call only fails.
TEST_F(QUserTest, LostSignInIsReportedOnce)
{
    signInAsDemo();
    m_server->expireAllTokens();
    m_user->getVideoFile(12, &m_recorder, kSlot);
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_recorder.replies.size() == 1; }, 5000));
    testsupport::waitUntil([] { return false; }, 100);
    EXPECT_EQ(m_recorder.events, (QStringList {QStringLiteral("token"), QStringLiteral("reply")}));
    EXPECT_FALSE(m_recorder.replies[0].ok);
    EXPECT_EQ(m_recorder.replies[0].message, QStringLiteral("登录已失效，请重新登录"));

    QValue data(7);
    QString error;
    EXPECT_FALSE(m_user->getAuthCode(1, QStringLiteral("12"), data, error));
    EXPECT_EQ(error, QStringLiteral("登录已失效，请重新登录"));
    testsupport::waitUntil([] { return false; }, 100);
    EXPECT_EQ(m_recorder.events.count(QStringLiteral("token")), 1);

    // Signing in again makes the calls work.
    signInAsDemo();
    EXPECT_TRUE(m_user->getAuthCode(1, QStringLiteral("12"), data, error)) << error.toStdString();
}

// Replies for a receiver that is gone, or a slot that does not exist, go nowhere.
TEST_F(QUserTest, MissingReceiversAreHarmless)
{
    Fault slow;
    slow.delayMs = 300;
    m_server->setFault("Video/getVideoFile", slow);
    auto *gone = new ReplyRecorder;
    m_user->getVideoFile(12, gone, kSlot);
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_server->inFlight() == 1; }, 5000));
    delete gone;
    QRequestParam none;
    EXPECT_FALSE(m_user->asyncRequest(QStringLiteral("index.php?app=api&mod=Video&act=videoInfo&"), none, &m_recorder, "onNothingReponse(bool, const QValue&, const QString&)", true));
    m_user->versionCheck(nullptr, nullptr);
    m_user->versionCheck(&m_recorder, kSlot);
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_recorder.replies.size() == 1; }, 5000));
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_server->requests().size() == 4 && m_server->inFlight() == 0; }, 5000));
    testsupport::waitUntil([] { return false; }, 100);
    EXPECT_EQ(m_recorder.replies.size(), 1);
}

// Job threads build requests while the GUI thread signs in anew: every request carries a
// token and the secret that belongs to it.
TEST_F(QUserTest, SynchronousCallsRaceWithANewToken)
{
    m_user->setToken(QStringLiteral("t0"), QStringLiteral("s0"));
    std::atomic<bool> done {false};
    std::thread job([&] {
        for (int i = 0; i < 40; ++i)
        {
            QValue data;
            QString error;
            m_user->getAuthCode(i, QStringLiteral("12"), data, error);
            (void)m_user->teacherId();
        }
        done = true;
    });
    for (int i = 1; !done; ++i)
    {
        m_user->setToken(QStringLiteral("t%1").arg(i), QStringLiteral("s%1").arg(i));
        m_user->setTeacherId(i);
        QCoreApplication::processEvents();
    }
    job.join();
    const auto log = m_server->requests("Video/getAuthCode");
    ASSERT_EQ(log.size(), 40u);
    for (const auto &r : log)
        EXPECT_EQ(r.clearValue("oauth_token").substr(1), r.clearValue("oauth_token_secret").substr(1));
}
