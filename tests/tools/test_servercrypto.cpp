#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "servercrypto.h"

using servercrypto::Pairs;

// Known answers computed outside this code base.
TEST(ServerCrypto, KnownAnswers)
{
    EXPECT_EQ(servercrypto::encodeKey({}), "94z2EK6t9wbEzCG7ZYcJhx5g==");
    EXPECT_EQ(servercrypto::encodeKey({{"version", "v601"}, {"type", "8"}}), "609ANKh57+MwDlO5mRoN8rMtEZ0wao4mgvsrdEFPs6QHg=");
    EXPECT_EQ(servercrypto::crc8("abc"), 0x5A);
    EXPECT_EQ(servercrypto::crc8(""), 0x00);
    EXPECT_EQ(servercrypto::md5Variant(""), "50713C693C1DF43DC4756C7D90FDF4E5");
    EXPECT_EQ(servercrypto::md5Variant("abc"), "40014C6DF05D24FD787DF4F990B9C4F5");
    EXPECT_EQ(servercrypto::md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(servercrypto::authCode("W0850713C6", 12, "demo-key-12"), "AC7oeo2k9d0TXNqqSC1ekEhZE6pYlRNZSn0n2CbaKHoo0=");
}

TEST(ServerCrypto, DecodesKnownKeyWithEscapedValues)
{
    Pairs params;
    std::string error;
    ASSERT_TRUE(servercrypto::decodeKey("609ANKh57+MwDlO5mRoN8rMtEZ0wao4mgvsrdEFPs6QHg=", params, error)) << error;
    EXPECT_EQ(params, (Pairs {{"version", "v601"}, {"type", "8"}}));

    ASSERT_TRUE(servercrypto::decodeKey("94z2EK6t9wbEzCG7ZYcJhx5g==", params, error)) << error;
    EXPECT_TRUE(params.empty());

    // Values travel percent-encoded inside the cipher text and come back whole.
    const Pairs odd {{"title", "a b&c=d"}, {"name", "名"}, {"empty", ""}};
    ASSERT_TRUE(servercrypto::decodeKey(servercrypto::encodeKey(odd), params, error)) << error;
    EXPECT_EQ(params, odd);
}

// Every broken "key" is refused with a reason, never half-decoded.
TEST(ServerCrypto, RefusesBrokenKeys)
{
    const std::string good = "609ANKh57+MwDlO5mRoN8rMtEZ0wao4mgvsrdEFPs6QHg=";
    const std::string body = good.substr(2);
    auto withCrc = [](const std::string &b64) {
        char d[3];
        std::snprintf(d, sizeof d, "%02X", servercrypto::crc8(b64));
        return std::string(d) + b64;
    };
    // Sixteen bytes that are no cipher text of the parameter key (its padding fails).
    const std::string wrongCipher = withCrc(servercrypto::base64Encode(std::string(16, 'x')));
    // A well-formed cipher text of entries without "=" or with a broken escape.
    auto sealed = [&](const std::string &plain) {
        return withCrc(servercrypto::aesEncrypt(plain, servercrypto::kParamKey));
    };
    // A sound key whose checksum has a letter, written in lower case.
    std::string lowered;
    for (int i = 0; lowered.empty(); ++i)
    {
        const std::string k = sealed("a=" + std::to_string(i));
        if (k[0] >= 'A' || k[1] >= 'A')
            lowered = std::string(1, char(std::tolower(k[0]))) + char(std::tolower(k[1])) + k.substr(2);
    }
    const std::vector<std::pair<std::string, std::string>> cases {
        {"", "empty"},
        {"60", "digits only"},
        {"61" + body, "checksum off by one"},
        {lowered, "lower-case checksum"},
        {withCrc(body.substr(0, body.size() - 1)), "base64 length not a multiple of 4"},
        {withCrc("*" + body.substr(1)), "character outside base64"},
        {withCrc(body.substr(0, 20) + "=" + body.substr(21)), "padding inside the text"},
        {wrongCipher, "bad padding"},
        {sealed("version"), "entry without ="},
        {sealed("=v601"), "entry without a name"},
        {sealed("a=1&&b=2"), "empty entry"},
        {sealed("a=%zz"), "broken escape"},
        {sealed("a=%4"), "cut escape"},
    };
    for (const auto &c : cases)
    {
        Pairs params {{"stale", "x"}};
        std::string error;
        EXPECT_FALSE(servercrypto::decodeKey(c.first, params, error)) << c.second;
        EXPECT_FALSE(error.empty()) << c.second;
        EXPECT_TRUE(params.empty()) << c.second;
    }
}

TEST(ServerCrypto, PercentCodecIsStrict)
{
    std::string out;
    EXPECT_TRUE(servercrypto::percentDecode("a%20b+c%2B", out));
    EXPECT_EQ(out, "a b+c+");
    EXPECT_FALSE(servercrypto::percentDecode("a%2", out));
    EXPECT_FALSE(servercrypto::percentDecode("%g0", out));
    EXPECT_EQ(servercrypto::percentEncode("a b&名~"), "a%20b%26%E5%90%8D~");
}
