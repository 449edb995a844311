#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <httplib.h>
#include <json/json.h>

#include "platformserver.h"
#include "servercrypto.h"
#include "testsupport.h"

using servercrypto::Pairs;

namespace
{
    Json::Value parse(const std::string &text)
    {
        Json::CharReaderBuilder b;
        std::unique_ptr<Json::CharReader> r(b.newCharReader());
        Json::Value v;
        std::string errors;
        if (!r->parse(text.data(), text.data() + text.size(), &v, &errors))
            return Json::Value("not json: " + text);
        return v;
    }

    std::string target(const std::string &mod, const std::string &act, const Pairs &clear, const std::string &key,
                       const std::string &app = "api")
    {
        std::string t = "/index.php?app=" + app + "&mod=" + mod + "&act=" + act + "&";
        for (const auto &p : clear)
            t += p.first + "=" + servercrypto::percentEncode(p.second) + "&";
        return t + "key=" + servercrypto::percentEncode(key);
    }

    // Talks to the server the way the program does, through an independent HTTP client.
    class ServerTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            m_server = PlatformServer::startDemo();
            ASSERT_TRUE(m_server);
            m_client = std::make_unique<httplib::Client>("127.0.0.1", m_server->port());
        }

        httplib::Result post(const std::string &t)
        {
            return m_client->Post(t.c_str(), httplib::Headers {{"lang", "en-us"}}, "", "text/plain");
        }

        Json::Value call(const std::string &mod, const std::string &act, const Pairs &clear, const Pairs &inner,
                         const std::string &app = "api")
        {
            auto res = post(target(mod, act, clear, servercrypto::encodeKey(inner), app));
            if (!res)
                return Json::Value("no answer");
            return parse(res->body);
        }

        Pairs signIn()
        {
            const Json::Value r = call("Login", "login", {}, {{"uname", "demo"}, {"upwd", "demo123"}, {"mac", "W0850713C6"}});
            return {{"oauth_token", r["data"]["oauth_token"].asString()},
                    {"oauth_token_secret", r["data"]["oauth_token_secret"].asString()},
                    {"uname", "demo"}};
        }

        std::unique_ptr<PlatformServer> m_server;
        std::unique_ptr<httplib::Client> m_client;
    };
}

TEST_F(ServerTest, SignsInAndAnswersWithTheTypesTheClientReads)
{
    const Json::Value login = call("Login", "login", {}, {{"uname", "demo"}, {"upwd", "demo123"}});
    ASSERT_EQ(login["code"], 0) << login.toStyledString();
    EXPECT_TRUE(login["msg"].isString());
    EXPECT_EQ(login["data"]["uid"], "1001");
    ASSERT_TRUE(login["data"]["oauth_token"].isString());
    ASSERT_TRUE(login["data"]["oauth_token_secret"].isString());
    const Pairs auth {{"oauth_token", login["data"]["oauth_token"].asString()},
                      {"oauth_token_secret", login["data"]["oauth_token_secret"].asString()},
                      {"uname", "demo"}};

    const Json::Value courses = call("Teacher", "teacherVideoList", auth, {{"teacherId", "1001"}});
    ASSERT_EQ(courses["code"], 0);
    ASSERT_EQ(courses["data"].size(), 2u);
    for (const auto &c : courses["data"])
        for (const char *m : {"id", "video_title", "ctime"})
            EXPECT_TRUE(c[m].isString()) << m;
    EXPECT_EQ(call("Teacher", "teacherVideoList", auth, {{"teacherId", "1001"}, {"title", "Web 模式"}})["data"].size(), 1u);

    const Json::Value videos = call("Video", "getVideoFile", auth, {{"courseId", "12"}});
    ASSERT_EQ(videos["data"].size(), 2u);
    for (const char *m : {"video_name", "duration", "size", "upload_time", "video_key", "encrypted"})
        EXPECT_TRUE(videos["data"][0][m].isString()) << m;

    const Json::Value created = call("Video", "CreateVideo", auth,
        {{"CourseName", "新课程"}, {"moIntro", "新课程"}, {"Price", "0"}, {"download", "1"}, {"watch_online", "1"}, {"publish", "1700000000"}});
    ASSERT_EQ(created["code"], 0);
    ASSERT_TRUE(created["data"].isInt());
    EXPECT_EQ(call("Teacher", "teacherVideoList", auth, {{"teacherId", "1001"}, {"title", "新课程"}})["data"][0]["id"],
              std::to_string(created["data"].asInt()));

    const Json::Value code = call("Video", "getAuthCode", auth, {{"rand_enc", "-5"}, {"mac", "W0850713C6"}, {"courseId", "12"}});
    EXPECT_EQ(code["data"]["authCode"], "AC7oeo2k9d0TXNqqSC1ekEhZE6pYlRNZSn0n2CbaKHoo0=");

    const Json::Value token = call("Yunupload", "getUploadToken", auth, {});
    ASSERT_TRUE(token["data"]["uptoken"].isString());
    EXPECT_TRUE(m_server->isUploadToken(token["data"]["uptoken"].asString()));
    EXPECT_FALSE(m_server->isUploadToken("made-up"));
}

TEST_F(ServerTest, RenameDeleteAndUploadChangeTheVideoList)
{
    const Pairs auth = signIn();
    EXPECT_EQ(call("Yunupload", "rename", auth, {{"srcKey", "1001_12_501_lesson1.vep"}, {"newName", "新名字.mp4"}})["code"], 0);
    EXPECT_EQ(call("Video", "getVideoFile", auth, {{"courseId", "12"}})["data"][0]["video_name"], "新名字.mp4");
    EXPECT_EQ(call("Yunupload", "delete", auth, {{"srcKey", "1001_12_501_lesson1.vep"}})["code"], 0);
    EXPECT_EQ(call("Video", "getVideoFile", auth, {{"courseId", "12"}})["data"].size(), 1u);
    EXPECT_EQ(call("Yunupload", "delete", auth, {{"srcKey", "1001_12_501_lesson1.vep"}})["code"], 1);

    EXPECT_EQ(call("Yunupload", "uploadInfo", auth, {{"srcKey", "1001_13_77_new.vep"}, {"duration", "3"},
        {"resolution", "320*240"}, {"encrypted", "1"}, {"version", "4"}, {"size", "1024"}})["code"], 0);
    const Json::Value after = call("Video", "getVideoFile", auth, {{"courseId", "13"}});
    ASSERT_EQ(after["data"].size(), 2u);
    EXPECT_EQ(after["data"][1]["video_name"], "new.vep");
    EXPECT_EQ(after["data"][1]["size"], "1024");
}

// Every refusal is an envelope with a text "msg" and the code the client acts on.
TEST_F(ServerTest, RefusesWithTheRightCode)
{
    const Pairs auth = signIn();
    Pairs wrongSecret = auth;
    wrongSecret[1].second += "x";
    Pairs otherUser = auth;
    otherUser[2].second = "someone";
    Pairs noName = auth;
    noName[2].second = "";
    struct Case
    {
        const char *what;
        std::string target;
        int code;
        std::string msgStart;
    };
    const std::vector<Case> cases {
        {"wrong password", target("Login", "login", {}, servercrypto::encodeKey({{"uname", "demo"}, {"upwd", "x"}})), 1, ""},
        {"unknown user", target("Login", "login", {}, servercrypto::encodeKey({{"uname", "nobody"}, {"upwd", "demo123"}})), 1, ""},
        {"no key", "/index.php?app=api&mod=Login&act=login&uname=demo", 1, "key invalid: missing"},
        {"broken key", target("Login", "login", {}, "00abc"), 1, "key invalid: "},
        {"wrong checksum", target("Version", "versionCheck", auth, "619ANKh57+MwDlO5mRoN8rMtEZ0wao4mgvsrdEFPs6QHg="), 1, "key invalid: "},
        {"wrong secret", target("Version", "versionCheck", wrongSecret, servercrypto::encodeKey({})), 4, ""},
        {"no token", target("Version", "versionCheck", {}, servercrypto::encodeKey({})), 4, ""},
        {"other user name", target("Teacher", "GetLectuer", otherUser, servercrypto::encodeKey({})), 4, ""},
        {"empty user name", target("Teacher", "GetLectuer", noName, servercrypto::encodeKey({})), 0, ""},
        {"demo offer is not newer", target("Version", "versionCheck", auth, servercrypto::encodeKey({{"version", "v601"}, {"type", "8"}})), 1, ""},
        {"unknown course", target("Video", "getAuthCode", auth, servercrypto::encodeKey({{"rand_enc", "1"}, {"mac", "W1"}, {"courseId", "99"}})), 1, ""},
        {"course id not a number", target("Video", "getAuthCode", auth, servercrypto::encodeKey({{"rand_enc", "1"}, {"mac", "W1"}, {"courseId", "12a"}})), 1, ""},
        {"empty course name", target("Video", "CreateVideo", auth, servercrypto::encodeKey({{"CourseName", ""}})), 1, ""},
        {"unknown call", target("Video", "nothing", auth, servercrypto::encodeKey({})), 1, "unknown call"},
        // The same key as the known answer of version=v601&type=8, but with its "+" and "=" unescaped.
        {"key not escaped", "/index.php?app=api&mod=Version&act=versionCheck&key=609ANKh57+MwDlO5mRoN8rMtEZ0wao4mgvsrdEFPs6QHg=", 1,
         "key invalid: not percent-encoded"},
    };
    for (const auto &c : cases)
    {
        auto res = post(c.target);
        ASSERT_TRUE(res) << c.what;
        EXPECT_EQ(res->status, 200) << c.what;
        const Json::Value v = parse(res->body);
        EXPECT_EQ(v["code"], c.code) << c.what << ": " << res->body;
        ASSERT_TRUE(v["msg"].isString()) << c.what;
        EXPECT_EQ(v["msg"].asString().substr(0, c.msgStart.size()), c.msgStart) << c.what;
        if (c.code != 0)
            EXPECT_FALSE(v["msg"].asString().empty()) << c.what;
    }
}

TEST_F(ServerTest, ExpiredTokensAnswerCodeFourUntilTheNextSignIn)
{
    const Pairs auth = signIn();
    const Pairs preset {{"oauth_token", "demo-token"}, {"oauth_token_secret", "demo-token-secret"}, {"uname", ""}};
    EXPECT_EQ(call("Yunupload", "WebGetKey", auth, {})["code"], 0);
    EXPECT_EQ(call("Yunupload", "WebGetKey", preset, {})["code"], 0);
    m_server->expireAllTokens();
    EXPECT_EQ(call("Yunupload", "WebGetKey", auth, {})["code"], 4);
    EXPECT_EQ(call("Yunupload", "WebGetKey", preset, {})["code"], 4);
    EXPECT_EQ(call("Yunupload", "WebGetKey", signIn(), {})["code"], 0);
    const PlatformServer::Session s = m_server->createSession("demo");
    EXPECT_EQ(s.uid, 1001);
    EXPECT_EQ(call("Yunupload", "WebGetKey", {{"oauth_token", s.token}, {"oauth_token_secret", s.secret}, {"uname", "demo"}}, {})["code"], 0);
    EXPECT_EQ(m_server->createSession("nobody").uid, 0);
}

TEST_F(ServerTest, LogsEachRequestAsReceived)
{
    const Pairs auth = signIn();
    m_server->clearRequests();
    auto res = post(target("Teacher", "teacherVideoList", auth, servercrypto::encodeKey({{"teacherId", "1001"}, {"title", "a b"}})));
    ASSERT_TRUE(res);
    const auto log = m_server->requests("Teacher/teacherVideoList");
    ASSERT_EQ(log.size(), 1u);
    const RequestRecord &r = log[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/index.php");
    EXPECT_EQ(r.clearNames(), (std::vector<std::string> {"app", "mod", "act", "oauth_token", "oauth_token_secret", "uname", "key"}));
    EXPECT_EQ(r.clearValue("uname"), "demo");
    EXPECT_EQ(r.inner, (Pairs {{"teacherId", "1001"}, {"title", "a b"}}));
    EXPECT_TRUE(r.hasKey);
    EXPECT_TRUE(r.keyError.empty());
    EXPECT_EQ(r.lang, "en-us");
    EXPECT_EQ(r.bodyLength, 0u);
    EXPECT_NE(r.target.find("&uname=demo&key="), std::string::npos);
    EXPECT_FALSE(r.userAgent.empty());
    // The JSON form used by the control route keeps everything.
    const RequestRecord back = RequestRecord::fromJson(r.toJson());
    EXPECT_EQ(back.clear, r.clear);
    EXPECT_EQ(back.inner, r.inner);
    EXPECT_EQ(back.lang, r.lang);
    EXPECT_EQ(back.route, r.route);
}

TEST_F(ServerTest, FaultsReplaceOrBendTheReply)
{
    const Pairs auth = signIn();
    const std::string version = target("Version", "versionCheck", auth, servercrypto::encodeKey({{"version", "v601"}, {"type", "8"}}));

    Fault html;
    html.replaceBody = true;
    html.body = "<html>busy</html>";
    m_server->setFault("Version/versionCheck", html);
    auto res = post(version);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "<html>busy</html>");

    for (int status : {302, 404, 500})
    {
        Fault f;
        f.status = status;
        m_server->setFault("Version/versionCheck", f);
        res = post(version);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, status);
        if (status == 302)
            EXPECT_EQ(res->get_header_value("Location"), "/");
    }

    Fault typed;
    typed.patch["code"] = "0";
    typed.dataPatch["uid"] = 1001;
    typed.count = 1;
    m_server->setFault("Login/login", typed);
    Json::Value login = call("Login", "login", {}, {{"uname", "demo"}, {"upwd", "demo123"}});
    EXPECT_EQ(login["code"], "0");
    EXPECT_EQ(login["data"]["uid"], 1001);
    // count 1: the next sign-in is normal again.
    login = call("Login", "login", {}, {{"uname", "demo"}, {"upwd", "demo123"}});
    EXPECT_EQ(login["code"], 0);
    EXPECT_EQ(login["data"]["uid"], "1001");

    m_server->clearFaults();
    EXPECT_EQ(parse(post(version)->body)["code"], 1);
}

TEST_F(ServerTest, CountsRequestsInFlightAndStopsDuringADelay)
{
    // Requests held for a minute: all four are counted at once, and stop() does not wait for them.
    Fault slow;
    slow.delayMs = 60000;
    m_server->setFault("/", slow);
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i)
        clients.emplace_back([this] {
            httplib::Client c("127.0.0.1", m_server->port());
            c.set_read_timeout(120, 0);
            c.Get("/");
        });
    ASSERT_TRUE(testsupport::waitUntil([this] { return m_server->inFlight() == 4; }, 10000));
    EXPECT_EQ(m_server->maxInFlight(), 4);
    m_server->stop();
    for (auto &t : clients)
        t.join();
    EXPECT_EQ(m_server->inFlight(), 0);
    EXPECT_EQ(m_server->maxInFlight(), 4);
    m_server->resetMaxInFlight();
    EXPECT_EQ(m_server->maxInFlight(), 0);
}

TEST(PlatformServerFixture, NewerOfferCarriesItsLogAsJsonText)
{
    Json::Value fixture = PlatformServer::readFixture(PlatformServer::demoFixturePath());
    ASSERT_TRUE(fixture.isObject());
    fixture["version"]["version"] = "602";
    fixture["version"]["isForceUpdate"] = "1";
    PlatformServer server(fixture);
    ASSERT_GT(server.start(), 0);
    const PlatformServer::Session s = server.createSession("demo");
    httplib::Client c("127.0.0.1", server.port());
    auto res = c.Post(target("Version", "versionCheck", {{"oauth_token", s.token}, {"oauth_token_secret", s.secret}, {"uname", "demo"}},
                             servercrypto::encodeKey({{"version", "v601"}, {"type", "8"}})).c_str(), "", "text/plain");
    ASSERT_TRUE(res);
    const Json::Value v = parse(res->body);
    ASSERT_EQ(v["code"], 0) << res->body;
    EXPECT_EQ(v["data"]["version"], "602");
    EXPECT_EQ(v["data"]["isForceUpdate"], "1");
    ASSERT_TRUE(v["data"]["log"].isString());
    const Json::Value log = parse(v["data"]["log"].asString());
    ASSERT_TRUE(log.isArray());
    EXPECT_EQ(log.size(), 2u);
}

// A fixture of the wrong shape gives a clear error or an empty platform, never a crash.
TEST(PlatformServerFixture, BadFixturesAreReportedOrTolerated)
{
    const QString dir = testsupport::newTempDir();
    struct Case
    {
        const char *name;
        QByteArray content;
        bool readable;
    };
    const std::vector<Case> cases {
        {"corrupt.json", "{\"accounts\": [", false},
        {"array.json", "[1, 2]", false},
        {"empty.json", "", false},
        {"odd.json", "{\"accounts\": 5, \"courses\": [1, \"x\", {\"id\": \"abc\", \"videos\": 3}], \"version\": []}", true},
    };
    for (const auto &c : cases)
    {
        const QString path = dir + QString::fromLatin1(c.name);
        ASSERT_TRUE(testsupport::writeAll(path, c.content));
        std::string error;
        const Json::Value f = PlatformServer::readFixture(path.toStdString(), &error);
        EXPECT_EQ(f.isObject(), c.readable) << c.name;
        EXPECT_EQ(error.empty(), c.readable) << c.name;
        if (!c.readable)
            continue;
        PlatformServer server(f);
        ASSERT_GT(server.start(), 0);
        EXPECT_EQ(server.createSession("demo").uid, 0);
        EXPECT_EQ(server.courses().size(), 1u);
    }
    std::string error;
    EXPECT_TRUE(PlatformServer::readFixture((dir + "missing.json").toStdString(), &error).isNull());
    EXPECT_NE(error.find("missing.json"), std::string::npos);
}

// The server's port is its own: another socket, even one that sets SO_REUSEPORT (as the
// socket library does by default), can't bind it while the server listens.
TEST(PlatformServerPort, SecondBindOfThePortFails)
{
    std::unique_ptr<PlatformServer> server = PlatformServer::startDemo();
    ASSERT_TRUE(server);
    const int port = server->port();
    ASSERT_GT(port, 0);
    for (const bool reusePort : {false, true}) {
        SCOPED_TRACE(reusePort ? "SO_REUSEPORT" : "SO_REUSEADDR");
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, reusePort ? SO_REUSEPORT : SO_REUSEADDR, &yes, sizeof(yes));
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_NE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
        ::close(fd);
    }
}
