#include <memory>
#include <string>

#include <QProcess>
#include <QString>

#include <gtest/gtest.h>

#include <httplib.h>
#include <json/json.h>

#include "platformserver.h"
#include "servercrypto.h"
#include "testsupport.h"

namespace
{
    const QString kProgram = QStringLiteral(VANTREL_BIN_DIR "platformserver");

    Json::Value parse(const std::string &text)
    {
        Json::CharReaderBuilder b;
        std::unique_ptr<Json::CharReader> r(b.newCharReader());
        Json::Value v;
        std::string errors;
        r->parse(text.data(), text.data() + text.size(), &v, &errors);
        return v;
    }
}

// The executable as the demo run and child-process tests use it: port 0, the port on the
// first line, the control routes, a clean exit on SIGTERM.
TEST(PlatformServerExe, ServesAndIsControlledOverHttp)
{
    QProcess child;
    child.start(kProgram, {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--fixture"),
                           QString::fromStdString(PlatformServer::demoFixturePath())});
    ASSERT_TRUE(child.waitForStarted(5000));
    ASSERT_TRUE(testsupport::waitUntil([&] { return child.canReadLine(); }, 10000));
    bool ok = false;
    const int port = QString::fromLatin1(child.readLine()).trimmed().toInt(&ok);
    ASSERT_TRUE(ok);
    ASSERT_GT(port, 0);

    httplib::Client c("127.0.0.1", port);
    auto res = c.Post("/_test/session", "{\"uname\":\"demo\"}", "application/json");
    ASSERT_TRUE(res);
    const Json::Value session = parse(res->body)["data"];
    ASSERT_TRUE(session["oauth_token"].isString());

    res = c.Post("/_test/fault", "{\"route\":\"Teacher/GetLectuer\",\"patch\":{\"msg\":5},\"count\":1}", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(parse(res->body)["code"], 0);

    const std::string call = "/index.php?app=api&mod=Teacher&act=GetLectuer&oauth_token=" + session["oauth_token"].asString()
        + "&oauth_token_secret=" + session["oauth_token_secret"].asString() + "&uname=demo&key="
        + servercrypto::percentEncode(servercrypto::encodeKey({{"teacherId", "1001"}}));
    res = c.Post(call.c_str(), "", "text/plain");
    ASSERT_TRUE(res);
    const Json::Value lecturer = parse(res->body);
    EXPECT_EQ(lecturer["msg"], 5);
    EXPECT_EQ(lecturer["data"]["uid"], "1001");

    res = c.Get("/_test/requests");
    ASSERT_TRUE(res);
    const Json::Value log = parse(res->body)["data"];
    ASSERT_EQ(log.size(), 1u);
    const RequestRecord r = RequestRecord::fromJson(log[0]);
    EXPECT_EQ(r.route, "Teacher/GetLectuer");
    EXPECT_EQ(r.innerValue("teacherId"), "1001");

    res = c.Post("/_test/expire", "", "text/plain");
    ASSERT_TRUE(res);
    res = c.Post(call.c_str(), "", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(parse(res->body)["code"], 4);

    res = c.Get("/_test/inflight");
    ASSERT_TRUE(res);
    EXPECT_EQ(parse(res->body)["data"]["now"], 0);
    res = c.Post("/_test/fault", "not json", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);

    child.terminate();
    ASSERT_TRUE(child.waitForFinished(10000));
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0);
}

TEST(PlatformServerExe, RefusesBadArgumentsAndFixtures)
{
    const QString dir = testsupport::newTempDir();
    ASSERT_TRUE(testsupport::writeAll(dir + "corrupt.json", "{\"accounts\": ["));
    struct Case
    {
        QStringList args;
        int exitCode;
        const char *says;
    };
    const std::vector<Case> cases {
        {{"--port", "0", "--fixture", dir + "corrupt.json"}, 1, "not a JSON object"},
        {{"--port", "0", "--fixture", dir + "missing.json"}, 1, "cannot open"},
        {{"--port", "70000"}, 2, "bad port"},
        {{"--what"}, 2, "usage"},
    };
    for (const auto &c : cases)
    {
        QProcess child;
        child.start(kProgram, c.args);
        ASSERT_TRUE(child.waitForFinished(10000)) << c.says;
        EXPECT_EQ(child.exitCode(), c.exitCode) << c.says;
        EXPECT_TRUE(child.readAllStandardError().contains(c.says)) << c.says;
        EXPECT_TRUE(child.readAllStandardOutput().isEmpty()) << c.says;
    }
}
