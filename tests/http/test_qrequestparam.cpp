#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hrequest.h"
#include "qrequestparam.h"
#include "servercrypto.h"

// Known answers computed outside this code base.
TEST(QRequestParam, KnownAnswers)
{
    QRequestParam empty;
    EXPECT_EQ(empty.toEncrypted(), QStringLiteral("94z2EK6t9wbEzCG7ZYcJhx5g=="));
    EXPECT_EQ(empty.toEncrypted().size(), 26);

    QRequestParam version;
    version.add(QStringLiteral("version"), QStringLiteral("v601"), true);
    version.add(QStringLiteral("type"), QStringLiteral("8"), true);
    EXPECT_EQ(version.toString(), QStringLiteral("version=v601&type=8"));
    EXPECT_EQ(version.toEncrypted(), QStringLiteral("609ANKh57+MwDlO5mRoN8rMtEZ0wao4mgvsrdEFPs6QHg="));

    // As it travels in the URL.
    HRequest request;
    request.addParam(QStringLiteral("key"), version.toEncrypted());
    EXPECT_EQ(request.params(), QStringList {QStringLiteral("key=609ANKh57%2BMwDlO5mRoN8rMtEZ0wao4mgvsrdEFPs6QHg%3D")});

    EXPECT_EQ(QRequestParam::checksum("abc"), "5A");
    EXPECT_EQ(QRequestParam::checksum(""), "00");
    EXPECT_EQ(QRequestParam::encrypt(""), "z2EK6t9wbEzCG7ZYcJhx5g==");
}

TEST(QRequestParam, EncodesValuesOnRequest)
{
    QRequestParam p;
    p.add(QStringLiteral("k"), QStringLiteral("a b"), true);
    p.add(QStringLiteral("raw"), QStringLiteral("a b"), false);
    p.add(QStringLiteral("uname"), QStringLiteral("x"), true);
    EXPECT_EQ(p.toString(), QStringLiteral("k=a%20b&raw=a b&uname=x"));
}

// The server's own decoder (OpenSSL, strict base64 and padding) reads back every list.
TEST(QRequestParam, ServerDecodesWhatWeSend)
{
    const std::vector<servercrypto::Pairs> lists {
        {},
        {{"uname", "a"}, {"upwd", "b"}},
        {{"title", "a b&c=d+e%f"}, {"name", "名字"}, {"empty", ""}},
        {{"long", std::string(100, 'z')}},
        {{"sixteen", "01234567"}},   // "sixteen=01234567" is exactly one block
    };
    for (const auto &list : lists)
    {
        QRequestParam p;
        for (const auto &e : list)
            p.add(QString::fromStdString(e.first), QString::fromStdString(e.second), true);
        const std::string key = p.toEncrypted().toStdString();
        ASSERT_GE(key.size(), 26u);
        for (int i = 0; i < 2; ++i)
            EXPECT_TRUE((key[i] >= '0' && key[i] <= '9') || (key[i] >= 'A' && key[i] <= 'F')) << key;
        servercrypto::Pairs decoded;
        std::string error;
        EXPECT_TRUE(servercrypto::decodeKey(key, decoded, error)) << key << ": " << error;
        EXPECT_EQ(decoded, list) << key;
    }
}
