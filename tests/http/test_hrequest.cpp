#include <memory>
#include <string>
#include <vector>

#include <QObject>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "hrequest.h"
#include "platformserver.h"
#include "replyrecorder.h"
#include "testsupport.h"

namespace
{
    const QString kPrefix = QStringLiteral("网络连接失败：");

    class HRequestTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            registerQValueMetaType();
            m_server = PlatformServer::startDemo();
            ASSERT_TRUE(m_server);
        }

        QString apiUrl(const char *mod, const char *act) const
        {
            return QStringLiteral("http://%1/index.php?app=api&mod=%2&act=%3&")
                .arg(QString::fromStdString(m_server->host()), QLatin1String(mod), QLatin1String(act));
        }

        // Runs a request on this thread with the recorder connected directly.
        void runJson(HRequest &request, ReplyRecorder &recorder)
        {
            EXPECT_TRUE(QObject::connect(&request, SIGNAL(tokenInvalid()), &recorder, SLOT(onTokenInvalid())));
            EXPECT_TRUE(QObject::connect(&request, SIGNAL(jsonFinished(bool, const QValue &, const QString &)), &recorder,
                                         SLOT(onTestReponse(bool, const QValue &, const QString &))));
            request.run();
        }

        std::unique_ptr<PlatformServer> m_server;
    };
}

TEST(HRequestParts, ParamsHeadersAndUrl)
{
    HRequest request;
    request.setUrl(QStringLiteral("http://h/index.php?app=api&mod=Login&act=login&"));
    EXPECT_EQ(request.fullUrl(), "http://h/index.php?app=api&mod=Login&act=login&");
    request.addParam(QStringLiteral("uname"), QStringLiteral("a"));
    request.addParam(QStringLiteral("key"), QStringLiteral("b"));
    EXPECT_EQ(request.fullUrl(), "http://h/index.php?app=api&mod=Login&act=login&uname=a&key=b");

    const std::vector<std::pair<QString, QString>> cases {
        {QStringLiteral("a b&c"), QStringLiteral("k=a%20b%26c")},
        {QStringLiteral("名"), QStringLiteral("k=%E5%90%8D")},
        {QString(), QStringLiteral("k=")},
        {QStringLiteral("AZaz09-._~"), QStringLiteral("k=AZaz09-._~")},
        {QStringLiteral("+/=%"), QStringLiteral("k=%2B%2F%3D%25")},
    };
    for (const auto &c : cases)
    {
        HRequest r;
        r.addParam(QStringLiteral("k"), c.first);
        EXPECT_EQ(r.params(), QStringList {c.second}) << c.first.toStdString();
    }
}

// What goes on the wire: POST with an empty body, the header line, the agent; GET and HEAD.
TEST_F(HRequestTest, SendsWhatTheServerExpects)
{
    HRequest post;
    post.setUrl(apiUrl("Teacher", "GetLectuer"));
    post.addHeader(QStringLiteral("lang"), QStringLiteral("en-us"));
    QByteArray reply;
    EXPECT_EQ(post.perform(&reply), 0);
    EXPECT_FALSE(reply.isEmpty());

    HRequest get;
    get.setUrl(QStringLiteral("http://%1/").arg(QString::fromStdString(m_server->host())));
    get.setMethod(HRequest::Get);
    QByteArray body;
    EXPECT_EQ(get.perform(&body), 0);
    EXPECT_TRUE(body.contains("platform"));
    EXPECT_EQ(get.contentLength(), body.size());

    HRequest head;
    head.setUrl(get.url());
    head.setMethod(HRequest::Head);
    QByteArray headers;
    head.perform(&headers);
    EXPECT_TRUE(headers.startsWith("HTTP/1.1 ")) << headers.constData();

    const auto log = m_server->requests();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].method, "POST");
    EXPECT_EQ(log[0].bodyLength, 0u);
    EXPECT_EQ(log[0].lang, "en-us");
    EXPECT_EQ(log[0].userAgent, "libcurl-agent/1.0");
    EXPECT_EQ(log[1].method, "GET");
    EXPECT_EQ(log[1].lang, "");
}

// The reply envelope, table-driven over real replies of the server.
TEST_F(HRequestTest, ChecksTheReplyEnvelope)
{
    const QString invalid = HRequest::errorText(3);
    EXPECT_EQ(invalid, kPrefix + QStringLiteral("(3)URL格式不正确"));
    struct Case
    {
        const char *body;
        bool ok;
        const char *data;   // compact JSON of the delivered data
        QString message;
        int tokenSignals;
    };
    const std::vector<Case> cases {
        {R"({"code":0,"data":[1,2]})", true, "[1,2]", QString(), 0},
        {R"({"code":0})", true, "null", QString(), 0},
        {R"({"data":{"a":"名"},"msg":"","code":0,"extra":1})", true, R"({"a":"名"})", QString(), 0},
        {R"({"code":4,"msg":"expired"})", false, "null", QStringLiteral("expired"), 1},
        {R"({"code":4})", false, "null", QString(), 1},
        {R"({"code":1})", false, "null", QString(), 0},
        {R"({"code":7,"msg":"没有权限"})", false, "null", QStringLiteral("没有权限"), 0},
        {R"({"code":2,"msg":5})", false, "null", QString(), 0},
        {R"({"code":2,"msg":["x"]})", false, "null", QString(), 0},
        {R"({"code":2,"msg":{"a":1}})", false, "null", QString(), 0},
        {"[]", false, "null", invalid, 0},
        {"", false, "null", invalid, 0},
        {"<html><body>502 Bad Gateway</body></html>", false, "null", invalid, 0},
        {R"({"msg":"no code"})", false, "null", invalid, 0},
        {R"({"code":"0","data":1})", false, "null", invalid, 0},
        {R"({"code":"4","msg":"x"})", false, "null", invalid, 0},
        {R"({"code":null,"data":1})", false, "null", invalid, 0},
        {R"({"code":true,"data":1})", false, "null", invalid, 0},
        {R"({"code":false,"data":1})", false, "null", invalid, 0},
        {R"({"code":0.5})", false, "null", invalid, 0},
        {R"({"code":[0]})", false, "null", invalid, 0},
        {R"({"code":{"v":0}})", false, "null", invalid, 0},
        {R"({"code":99999999999,"msg":"big"})", false, "null", invalid, 0},
    };
    for (const auto &c : cases)
    {
        Fault fault;
        fault.replaceBody = true;
        fault.body = c.body;
        fault.contentType = "application/json";
        m_server->setFault("Video/videoInfo", fault);

        HRequest request;
        request.setUrl(apiUrl("Video", "videoInfo"));
        ReplyRecorder r;
        runJson(request, r);
        ASSERT_EQ(r.replies.size(), 1) << c.body;
        EXPECT_EQ(r.replies[0].ok, c.ok) << c.body;
        QValue expected;
        ASSERT_TRUE(parseJson(QByteArray(c.data), expected)) << c.data;
        EXPECT_EQ(r.replies[0].data, expected) << c.body;
        EXPECT_EQ(r.replies[0].message, c.message) << c.body;
        EXPECT_EQ(r.events.count(QStringLiteral("token")), c.tokenSignals) << c.body;
        if (c.tokenSignals) {
            EXPECT_EQ(r.events, (QStringList {QStringLiteral("token"), QStringLiteral("reply")})) << c.body;
        }
    }
}

// Transport failures and HTTP statuses become the user's text; nothing is followed or retried.
TEST_F(HRequestTest, TurnsFailuresIntoTheirTexts)
{
    RawServer silent {QByteArray()};
    RawServer cutOff {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"code\":0"};
    RawServer notHttp {"SSH-2.0-OpenSSH\r\n\r\n"};
    const quint16 downPort = testsupport::freePort();
    struct Case
    {
        const char *what;
        QString url;
        int status;        // fault status on the route, 0 none
        int delayMs;
        int timeout;
        int code;
        QString reason;
    };
    const QString route = apiUrl("Video", "videoInfo");
    const std::vector<Case> cases {
        {"server down", QStringLiteral("http://127.0.0.1:%1/index.php?").arg(downPort), 0, 0, 10, 7, QStringLiteral("无法连接到主机")},
        {"too slow", route, 0, 3000, 1, 28, QStringLiteral("访问超时")},
        {"empty reply", QStringLiteral("http://127.0.0.1:%1/index.php?").arg(silent.port()), 0, 0, 10, 52, QStringLiteral("服务器无返回内容")},
        {"reply cut off", QStringLiteral("http://127.0.0.1:%1/index.php?").arg(cutOff.port()), 0, 0, 10, 18, QStringLiteral("文件传输短或大于预期")},
        {"not HTTP", QStringLiteral("http://127.0.0.1:%1/index.php?").arg(notHttp.port()), 0, 0, 10, 1, QStringLiteral("错误的协议")},
        {"redirect not followed", route, 302, 0, 10, 302, QStringLiteral("网址被拦截")},
        {"not found", route, 404, 0, 10, 404, QStringLiteral("访问网址不存在")},
        {"server error", route, 500, 0, 10, 500, QStringLiteral("网址被拦截")},
    };
    for (const auto &c : cases)
    {
        m_server->clearFaults();
        if (c.status || c.delayMs)
        {
            Fault fault;
            fault.status = c.status;
            fault.delayMs = c.delayMs;
            m_server->setFault("Video/videoInfo", fault);
        }
        HRequest request;
        request.setUrl(c.url);
        request.setTimeout(c.timeout);
        QByteArray reply;
        EXPECT_EQ(request.perform(&reply), c.code) << c.what;

        HRequest again;
        again.setUrl(c.url);
        again.setTimeout(c.timeout);
        QValue data(5);
        QString error;
        EXPECT_FALSE(again.requestJson(data, error)) << c.what;
        EXPECT_EQ(error, QStringLiteral("%1(%2)%3").arg(kPrefix).arg(c.code).arg(c.reason)) << c.what;
        EXPECT_EQ(data, QValue(5)) << c.what;
    }
    // A 302 was answered once, not followed to "/".
    EXPECT_EQ(m_server->requests("/").size(), 0u);
}

TEST(HRequestErrorText, TableAndDefault)
{
    const std::vector<std::pair<int, QString>> cases {
        {0, QStringLiteral("访问地址未返回结果")},
        {6, QStringLiteral("无法解析主机地址")},
        {10, QStringLiteral("网址被拦截")},
        {23, QStringLiteral("数据写入失败")},
        {35, QStringLiteral("SSL/TLS握手失败")},
        {57, QStringLiteral("网址被拦截")},
        {60, QStringLiteral("peer 证书无法被已知的CA 证书验证")},
        {83, QStringLiteral("发行人检查失败")},
        {84, QStringLiteral("网址被拦截")},
        {-1, QStringLiteral("网址被拦截")},
        {404, QStringLiteral("访问网址不存在")},
    };
    for (const auto &c : cases)
        EXPECT_EQ(HRequest::errorText(c.first), QStringLiteral("网络连接失败：(%1)").arg(c.first) + c.second) << c.first;
}

// A reply the server breaks off after half its body: with a Content-Length or in chunks,
// libcurl knows that it ended early (18); a body that ends with the connection cannot be told
// from a whole one, and fails only as an envelope that does not parse (the text of 3).
TEST_F(HRequestTest, RepliesBrokenOffMidBody)
{
    struct Case
    {
        const char *cut;
        int code;      // perform()
        int textCode;  // the text requestJson() gives
    };
    const Case cases[] = {
        {"chunked", 18, 18},
        {"length", 18, 18},
        {"close", 0, 3},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.cut);
        Fault fault;
        fault.cut = c.cut;
        fault.count = 2;
        m_server->setFault("Video/videoInfo", fault);
        HRequest request;
        request.setUrl(apiUrl("Video", "videoInfo"));
        QByteArray reply;
        EXPECT_EQ(request.perform(&reply), c.code);
        EXPECT_FALSE(reply.isEmpty()) << "half the body arrives";
        QValue probe;
        EXPECT_FALSE(parseJson(reply, probe)) << reply.constData();

        HRequest again;
        again.setUrl(apiUrl("Video", "videoInfo"));
        QValue data;
        QString error;
        EXPECT_FALSE(again.requestJson(data, error));
        EXPECT_EQ(error, HRequest::errorText(c.textCode));
        EXPECT_TRUE(data.isNull());
    }
}

// Bytes mode keeps whatever came back, also on failure; an oversized reply is cut off.
TEST_F(HRequestTest, BytesModeAndReplyCap)
{
    Fault page;
    page.status = 404;
    page.replaceBody = true;
    page.body = "<html>gone</html>";
    m_server->setFault("Video/videoInfo", page);
    HRequest request;
    request.setUrl(apiUrl("Video", "videoInfo"));
    request.setRawBytes(true);
    ReplyRecorder recorder;
    ASSERT_TRUE(QObject::connect(&request, SIGNAL(bytesFinished(bool, const QByteArray &, const QString &)), &recorder,
                                 SLOT(onBytesReponse(bool, const QByteArray &, const QString &))));
    request.run();
    ASSERT_EQ(recorder.replies.size(), 1);
    EXPECT_FALSE(recorder.replies[0].ok);
    EXPECT_EQ(recorder.replies[0].bytes, QByteArray("<html>gone</html>"));
    EXPECT_EQ(recorder.replies[0].message, HRequest::errorText(404));

    Fault huge;
    huge.replaceBody = true;
    huge.body = std::string(HRequest::MaxReplyBytes + 1024, 'x');
    m_server->setFault("Video/videoInfo", huge);
    HRequest big;
    big.setUrl(apiUrl("Video", "videoInfo"));
    QByteArray reply;
    EXPECT_EQ(big.perform(&reply), 23);
    EXPECT_LE(reply.size(), HRequest::MaxReplyBytes);

    huge.body.resize(HRequest::MaxReplyBytes);
    m_server->setFault("Video/videoInfo", huge);
    HRequest fits;
    fits.setUrl(apiUrl("Video", "videoInfo"));
    QByteArray whole;
    EXPECT_EQ(fits.perform(&whole), 0);
    EXPECT_EQ(whole.size(), HRequest::MaxReplyBytes);
}

// Only the exact "Content-Length:" line is taken.
TEST(HRequestHeaders, ContentLengthLine)
{
    struct Case
    {
        QByteArray answer;
        qint64 length;
    };
    const std::vector<Case> cases {
        {"HTTP/1.1 200 OK\r\nContent-Length: 12\r\nConnection: close\r\n\r\n{\"code\":0}  ", 12},
        {"HTTP/1.1 200 OK\r\ncontent-length: 10\r\nConnection: close\r\n\r\n{\"code\":0}", 0},
        {"HTTP/1.1 200 OK\r\nX-Content-Length: 99\r\nConnection: close\r\n\r\n", 0},
    };
    for (const auto &c : cases)
    {
        RawServer raw(c.answer);
        HRequest request;
        request.setUrl(QStringLiteral("http://127.0.0.1:%1/").arg(raw.port()));
        QByteArray reply;
        EXPECT_EQ(request.perform(&reply), 0) << c.answer.constData();
        EXPECT_EQ(request.contentLength(), c.length) << c.answer.constData();
    }
}
