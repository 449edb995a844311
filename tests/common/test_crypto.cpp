// Block cipher, MD5 and the text cipher built on them, against published vectors and
// independent implementations.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <QByteArray>
#include <QCryptographicHash>

#include <gtest/gtest.h>

#include "crijndael.h"
#include "cstringhelp.h"
#include "md5.h"
#include "uexception.h"

namespace
{
    std::vector<unsigned char> fromHex(const std::string &hex)
    {
        const QByteArray b = QByteArray::fromHex(QByteArray::fromStdString(hex));
        return std::vector<unsigned char>(b.begin(), b.end());
    }

    std::string toHex(const unsigned char *p, size_t n)
    {
        return QByteArray(reinterpret_cast<const char *>(p), static_cast<int>(n)).toHex().toStdString();
    }

    // The key block of the text cipher: the key over 32 ASCII "0".
    std::vector<unsigned char> keyBlock(const std::string &key)
    {
        std::vector<unsigned char> k(32, '0');
        std::memcpy(k.data(), key.data(), key.size() < 32 ? key.size() : 32);
        return k;
    }

    // Base64 of AES-256-ECB of `plain` (no padding added) under the text cipher's key block.
    std::string rawCipherText(const std::string &plain, const std::string &key)
    {
        const std::vector<unsigned char> k = keyBlock(key);
        std::vector<unsigned char> out(plain.size());
        CRijndael aes;
        EXPECT_TRUE(aes.setKey(k.data(), k.data(), 32, 16));
        EXPECT_TRUE(aes.encrypt(reinterpret_cast<const unsigned char *>(plain.data()), out.data(), plain.size()));
        return CStringHelp::base64Encode(out.data(), out.size());
    }
}

// ---- block cipher ----

TEST(Rijndael, Fips197Vectors)
{
    struct Case
    {
        int keyLength;
        const char *cipher;
    };
    const Case cases[] = {
        {16, "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {24, "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {32, "8ea2b7ca516745bfeafc49904b496089"},
    };
    const std::vector<unsigned char> key = fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const std::vector<unsigned char> plain = fromHex("00112233445566778899aabbccddeeff");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keyLength);
        CRijndael aes;
        ASSERT_TRUE(aes.setKey(key.data(), key.data(), c.keyLength, 16));
        unsigned char out[16], back[16];
        ASSERT_TRUE(aes.encrypt(plain.data(), out, 16, CRijndael::ECB));
        EXPECT_EQ(toHex(out, 16), c.cipher);
        ASSERT_TRUE(aes.decrypt(out, back, 16, CRijndael::ECB));
        EXPECT_EQ(toHex(back, 16), toHex(plain.data(), 16));
    }
}

// NIST SP 800-38A, AES-128, first two blocks; each mode also run in place and split
// over two calls, which must carry the chain block from one call to the next.
TEST(Rijndael, ModesAgainstSp80038a)
{
    struct Case
    {
        int mode;
        const char *cipher;
    };
    const Case cases[] = {
        {CRijndael::ECB, "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"},
        {CRijndael::CBC, "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"},
        {CRijndael::CFB, "3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b"},
    };
    const std::vector<unsigned char> key = fromHex("2b7e151628aed2a6abf7158809cf4f3c");
    const std::vector<unsigned char> iv = fromHex("000102030405060708090a0b0c0d0e0f");
    const std::vector<unsigned char> plain =
        fromHex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");

    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        {
            CRijndael aes;
            ASSERT_TRUE(aes.setKey(key.data(), iv.data(), 16, 16));
            std::vector<unsigned char> out(32);
            aes.encrypt(plain.data(), out.data(), 32, c.mode);
            EXPECT_EQ(toHex(out.data(), 32), c.cipher);
        }
        {
            CRijndael aes;
            ASSERT_TRUE(aes.setKey(key.data(), iv.data(), 16, 16));
            std::vector<unsigned char> buf = plain;
            aes.encrypt(buf.data(), buf.data(), 16, c.mode);
            aes.encrypt(buf.data() + 16, buf.data() + 16, 16, c.mode);
            EXPECT_EQ(toHex(buf.data(), 32), c.cipher);
        }
        {
            CRijndael aes;
            ASSERT_TRUE(aes.setKey(key.data(), iv.data(), 16, 16));
            std::vector<unsigned char> buf = fromHex(c.cipher);
            aes.decrypt(buf.data(), buf.data(), 16, c.mode);
            aes.decrypt(buf.data() + 16, buf.data() + 16, 16, c.mode);
            EXPECT_EQ(toHex(buf.data(), 32), toHex(plain.data(), 32));
        }
    }
}

TEST(Rijndael, EveryKeyAndBlockSizeRoundTrips)
{
    unsigned char key[32], chain[32];
    for (int i = 0; i < 32; ++i) {
        key[i] = static_cast<unsigned char>(i * 7 + 1);
        chain[i] = static_cast<unsigned char>(0xA5 ^ i);
    }
    for (int keyLength : {16, 24, 32}) {
        for (int blockSize : {16, 24, 32}) {
            // Three blocks, the first two equal.
            std::vector<unsigned char> plain(3 * blockSize);
            for (int i = 0; i < 3 * blockSize; ++i)
                plain[i] = static_cast<unsigned char>(i < 2 * blockSize ? (i % blockSize) * 13 : i * 5);
            for (int mode : {CRijndael::ECB, CRijndael::CBC, CRijndael::CFB}) {
                SCOPED_TRACE(testing::Message() << keyLength << "/" << blockSize << " mode " << mode);
                std::vector<unsigned char> out(plain.size()), back(plain.size());
                CRijndael enc, dec;
                ASSERT_TRUE(enc.setKey(key, chain, keyLength, blockSize));
                ASSERT_TRUE(dec.setKey(key, chain, keyLength, blockSize));
                ASSERT_TRUE(enc.encrypt(plain.data(), out.data(), out.size(), mode));
                EXPECT_NE(out, plain);
                const bool sameBlocks = std::equal(out.begin(), out.begin() + blockSize, out.begin() + blockSize);
                EXPECT_EQ(sameBlocks, mode == CRijndael::ECB);
                ASSERT_TRUE(dec.decrypt(out.data(), back.data(), back.size(), mode));
                EXPECT_EQ(back, plain);
            }
        }
    }
}

TEST(Rijndael, RefusesBadSetupAndLeavesRemainderAlone)
{
    unsigned char key[32] = {1, 2, 3};
    unsigned char in[20], out[20];
    std::memset(in, 0x11, sizeof(in));
    std::memset(out, 0xEE, sizeof(out));

    CRijndael none;
    EXPECT_FALSE(none.encrypt(in, out, 16));
    EXPECT_FALSE(none.decrypt(in, out, 16));
    EXPECT_EQ(out[0], 0xEE);

    CRijndael bad;
    EXPECT_FALSE(bad.setKey(key, key, 20, 16));
    EXPECT_FALSE(bad.setKey(key, key, 16, 8));
    EXPECT_FALSE(bad.isInitialized());

    CRijndael aes;
    ASSERT_TRUE(aes.setKey(key, key, 16, 16));
    ASSERT_TRUE(aes.encrypt(in, out, sizeof(in)));
    for (int i = 16; i < 20; ++i)
        EXPECT_EQ(out[i], 0xEE) << i;
}

// ---- text cipher ----

TEST(AesText, KnownAnswers)
{
    struct Case
    {
        std::string text, key, cipher;
    };
    const Case cases[] = {
        {"", "a", "bts6o++XCI+FQaLg8Avx3A=="},
        {"", "a0", "bts6o++XCI+FQaLg8Avx3A=="},
        {"abc", "rqmkzt5827", "Gz2d1zhpOpADVAYhMc9+Xw=="},
        {"0123456789abcdef", "key", "8URXixKV52h1o+uwOm31NFYA5HvYkhb6vIYZOkihW4k="},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text + " / " + c.key);
        EXPECT_EQ(CStringHelp::aesEncrypt(c.text, c.key), c.cipher);
        EXPECT_EQ(CStringHelp::aesDecrypt(c.cipher, c.key), c.text);
        bool ok = false;
        EXPECT_EQ(CStringHelp::aesDecrypt(c.cipher, c.key, &ok), c.text);
        EXPECT_TRUE(ok);
    }
}

TEST(AesText, RoundTripsEveryLengthAndByte)
{
    const std::string key = "B16A0C5E9F2D4471A83BC6E05D92F7AA"; // 32 characters, as the programs pass
    std::string text;
    for (int n = 0; n <= 48; ++n) {
        SCOPED_TRACE(n);
        const std::string cipher = CStringHelp::aesEncrypt(text, key);
        // Always padded: a whole extra block when the length is a multiple of 16.
        EXPECT_EQ(CStringHelp::base64Decode(cipher).size(), static_cast<size_t>((n / 16 + 1) * 16));
        EXPECT_EQ(CStringHelp::aesDecrypt(cipher, key), text);
        text += static_cast<char>(n * 37); // NUL and bytes above 127 included
    }
    const std::string chinese = "课程视频 第1讲.mp4";
    EXPECT_EQ(CStringHelp::aesDecrypt(CStringHelp::aesEncrypt(chinese, key), key), chinese);
}

TEST(AesText, KeyIsCutAtNulAndAt32Bytes)
{
    const std::string long32 = "0123456789ABCDEF0123456789ABCDEF";
    const std::string longer = long32 + "this part is not part of the key, and must not overflow";
    EXPECT_EQ(CStringHelp::aesEncrypt("secret", longer), CStringHelp::aesEncrypt("secret", long32));
    EXPECT_EQ(CStringHelp::aesDecrypt(CStringHelp::aesEncrypt("secret", longer), long32), "secret");

    const std::string withNul("ab\0cd", 5);
    EXPECT_EQ(CStringHelp::aesEncrypt("secret", withNul), CStringHelp::aesEncrypt("secret", "ab"));
    EXPECT_NE(CStringHelp::aesEncrypt("secret", "ab"), CStringHelp::aesEncrypt("secret", "abc"));
}

TEST(AesText, BadLengthThrowsOrReportsFailure)
{
    const std::string key = "key";
    const std::string cases[] = {
        CStringHelp::base64Encode(std::string(15, 'x')),
        CStringHelp::base64Encode(std::string(17, 'x')),
        CStringHelp::base64Encode(std::string(33, 'x')),
        "not base64 at all!",
    };
    for (const std::string &text : cases) {
        SCOPED_TRACE(text);
        try {
            CStringHelp::aesDecrypt(text, key);
            ADD_FAILURE() << "no exception";
        } catch (const UException &e) {
            EXPECT_EQ(e.expression(), L"sencode.length() % 16 == 0");
            EXPECT_EQ(e.line(), 408);
            EXPECT_TRUE(e.message().empty());
            EXPECT_NE(e.file().find(L"cstringhelp"), std::wstring::npos);
        }
        bool ok = true;
        EXPECT_NO_THROW(EXPECT_EQ(CStringHelp::aesDecrypt(text, key, &ok), ""));
        EXPECT_FALSE(ok);
    }

    // An empty text deciphers to nothing; the checked form reports it as no cipher text.
    EXPECT_EQ(CStringHelp::aesDecrypt("", key), "");
    bool ok = true;
    EXPECT_EQ(CStringHelp::aesDecrypt("", key, &ok), "");
    EXPECT_FALSE(ok);
}

// The last byte says how much to cut, even when it is no sound padding; the checked form
// gives the same text and tells the caller.
TEST(AesText, PaddingRemovalFollowsLastByte)
{
    const std::string key = "rqmkzt5827";
    struct Case
    {
        std::string plain;
        size_t keep;
        bool sound;
    };
    const std::string body(31, 'p');
    const Case cases[] = {
        {body + '\x01', 31, true},
        {std::string(16, 'p') + std::string(16, '\x10'), 16, true},
        {body + '\x00', 32, false},                                // zero: nothing cut
        {body + '\xFF', 32, false},                                // negative: nothing cut
        {body + '\x21', 32, false},                                // more than the text: nothing cut
        {body + '\x14', 12, false},                                // 20: cut, but no valid padding
        {std::string(29, 'p') + "\x02\x03\x03", 29, false},       // bytes differ
        {std::string(32, '\x20'), 0, false},                       // 32 of 32: all cut
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "last byte " << int(static_cast<unsigned char>(c.plain.back())));
        const std::string cipher = rawCipherText(c.plain, key);
        EXPECT_EQ(CStringHelp::aesDecrypt(cipher, key), c.plain.substr(0, c.keep));
        bool ok = !c.sound;
        EXPECT_EQ(CStringHelp::aesDecrypt(cipher, key, &ok), c.plain.substr(0, c.keep));
        EXPECT_EQ(ok, c.sound);
    }
}

TEST(AesText, WrongKeyIsDetectedByCheckedForm)
{
    const std::string cipher = CStringHelp::aesEncrypt("course-authorization", "right-key");
    EXPECT_NO_THROW(CStringHelp::aesDecrypt(cipher, "wrong-key"));
    bool ok = true;
    EXPECT_NE(CStringHelp::aesDecrypt(cipher, "wrong-key", &ok), "course-authorization");
    EXPECT_FALSE(ok);
    EXPECT_EQ(CStringHelp::aesDecrypt(cipher, "right-key", &ok), "course-authorization");
    EXPECT_TRUE(ok);
}

// ---- digests ----

TEST(Md5, Rfc1321SuiteAndEveryLengthAgainstQt)
{
    const std::pair<std::string, std::string> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &c : suite)
        EXPECT_EQ(CStringHelp::md5(c.first), c.second) << c.first;

    // Every length across the padding boundaries (55, 56, 63, 64, 119, 120, ...).
    std::string text;
    for (int n = 0; n < 300; ++n) {
        const QByteArray qt = QCryptographicHash::hash(QByteArray::fromStdString(text), QCryptographicHash::Md5);
        ASSERT_EQ(CStringHelp::md5(text), qt.toHex().toStdString()) << n;
        text += static_cast<char>(n * 101 + 7);
    }
}

TEST(Md5, IncrementalUpdatesAndEarlyDigest)
{
    std::string data;
    for (int i = 0; i < 1000; ++i)
        data += static_cast<char>(i * 31);
    const std::string whole = MD5(data).hexdigest();

    for (size_t chunk : {size_t(1), size_t(7), size_t(63), size_t(64), size_t(65), size_t(999)}) {
        MD5 md5;
        for (size_t pos = 0; pos < data.size(); pos += chunk)
            md5.update(data.data() + pos, std::min(chunk, data.size() - pos));
        EXPECT_EQ(md5.finalize().hexdigest(), whole) << chunk;
    }

    // Asking an unfinished digest finalizes it (the process goes on), and later input is ignored.
    MD5 early;
    early.update("abc");
    EXPECT_FALSE(early.isFinalized());
    EXPECT_EQ(early.hexdigest(), "900150983cd24fb0d6963f7d28e17f72");
    early.update("more");
    EXPECT_EQ(early.hexdigest(), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, MixedDigest)
{
    // Known answers; the last two are the prefixes the machine identifier is built from.
    EXPECT_EQ(CStringHelp::md5Variant("abc"), "40014C6DF05D24FD787DF4F990B9C4F5");
    EXPECT_EQ(CStringHelp::md5Variant(""), "50713C693C1DF43DC4756C7D90FDF4E5");
    EXPECT_EQ(CStringHelp::md5Variant("50713C6").substr(0, 2), "08");
    EXPECT_EQ(CStringHelp::md5Variant("40014C6").substr(0, 2), "DC");

    // Any input: byte i is ((d[i] ^ i) * 4 | i * i) & 0xFF of Qt's MD5, in upper-case hex.
    std::string text = "视频";
    for (int n = 0; n < 70; ++n) {
        const QByteArray d = QCryptographicHash::hash(QByteArray::fromStdString(text), QCryptographicHash::Md5);
        QByteArray mixed;
        for (int i = 0; i < 16; ++i)
            mixed += static_cast<char>(((static_cast<unsigned char>(d[i]) ^ i) * 4 | (i * i)) & 0xFF);
        ASSERT_EQ(CStringHelp::md5Variant(text), mixed.toHex().toUpper().toStdString()) << n;
        text += static_cast<char>(0x80 + n);
    }
}
