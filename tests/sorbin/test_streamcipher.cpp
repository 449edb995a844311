#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "ostrel.h"
#include "sorbintestutil.h"
#include "streamcipher.h"

namespace
{
    QByteArray hexBytes(const char *hex)
    {
        return QByteArray::fromHex(hex);
    }

    // 8 bytes whose halves are the given words, little-endian.
    QByteArray leBlock(uint32_t l, uint32_t r)
    {
        QByteArray b(8, '\0');
        for (int i = 0; i < 4; ++i)
        {
            b[i] = char(l >> (8 * i));
            b[4 + i] = char(r >> (8 * i));
        }
        return b;
    }
}

// Published vectors (halves read big-endian there, little-endian here).
TEST(StreamCipher, BlockCiphersMatchPublishedVectors)
{
    uint8_t zeroKey[16] = {0};
    QByteArray tea(8, '\0');
    teaEncrypt(reinterpret_cast<uint8_t *>(tea.data()), zeroKey);
    EXPECT_EQ(tea, leBlock(0x41EA3A0A, 0x94BAA940));
    teaDecrypt(reinterpret_cast<uint8_t *>(tea.data()), zeroKey);
    EXPECT_EQ(tea, QByteArray(8, '\0'));

    struct Vector { const char *key, *plain; uint32_t l, r; };
    const Vector vectors[] = {
        {"0000000000000000", "0000000000000000", 0x4EF99745, 0x6198DD78},
        {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", 0x51866FD5, 0xB85ECB8A},
        {"FEDCBA9876543210", "0123456789ABCDEF", 0x0ACEAB0F, 0xC6A0A28D},
    };
    for (const Vector &v : vectors)
    {
        const QByteArray key = hexBytes(v.key);
        const QByteArray plainBe = hexBytes(v.plain);
        uint32_t l = uint32_t(uint8_t(plainBe[0])) << 24 | uint8_t(plainBe[1]) << 16 | uint8_t(plainBe[2]) << 8 | uint8_t(plainBe[3]);
        uint32_t r = uint32_t(uint8_t(plainBe[4])) << 24 | uint8_t(plainBe[5]) << 16 | uint8_t(plainBe[6]) << 8 | uint8_t(plainBe[7]);
        const uint32_t l0 = l, r0 = r;
        BlowfishContext ctx;
        blowfishInit(ctx, reinterpret_cast<const uint8_t *>(key.constData()), 8);
        blowfishBlockEncrypt(ctx, l, r);
        EXPECT_EQ(l, v.l) << v.key;
        EXPECT_EQ(r, v.r) << v.key;
        blowfishBlockDecrypt(ctx, l, r);
        EXPECT_EQ(l, l0) << v.key;
        EXPECT_EQ(r, r0) << v.key;
    }

    // The header form keys Blowfish with 4 bytes, whatever the key's length.
    const QByteArray longKey = hexBytes("0102030405060708090a0b0c0d0e0f10");
    QByteArray a = leBlock(1, 2), b = a;
    blowfishEncrypt(reinterpret_cast<uint8_t *>(a.data()), 8, reinterpret_cast<const uint8_t *>(longKey.constData()));
    BlowfishContext four;
    blowfishInit(four, reinterpret_cast<const uint8_t *>(longKey.constData()), 4);
    blowfishEncrypt(four, reinterpret_cast<uint8_t *>(b.data()), 8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, leBlock(1, 2));
}

// The inverses undo the header ciphers (they serve the decryption tests), with any key length.
TEST(StreamCipher, InversesUndoTheHeaderCiphers)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round)
    {
        uint8_t key[16], block[8], copy[8];
        for (uint8_t &k : key)
            k = uint8_t(rng());
        for (uint8_t &c : block)
            c = uint8_t(rng());
        std::memcpy(copy, block, 8);
        teaEncrypt(block, key);
        blowfishEncrypt(block, 8, key);
        ASSERT_NE(std::memcmp(block, copy, 8), 0);
        blowfishDecrypt(block, 8, key, 4);
        teaDecrypt(block, key);
        ASSERT_EQ(std::memcmp(block, copy, 8), 0);

        const size_t keyLength = 1 + size_t(round % 16);
        BlowfishContext ctx;
        blowfishInit(ctx, key, keyLength);
        blowfishEncrypt(ctx, block, 8);
        blowfishDecrypt(block, 8, key, keyLength);
        ASSERT_EQ(std::memcmp(block, copy, 8), 0) << keyLength;
    }
}

// Values worked out by hand from the algorithm, outside this code base.
TEST(StreamCipher, KeyMixingAndKeyNumber)
{
    struct Case { QByteArray key, sizeText; const char *mixedHex; int number; };
    const Case cases[] = {
        {"0123456789ABCDEF0123456789ABCDEF", "2565",
         "545b5e59505f5a5d5c532d28272e292c545b5e59505f5a5d5c532d28272e292c", -172},
        {"FEDCBA9876543210FEDCBA9876543210", "100",
         "2425242122215b58575455545152515226252623222359585556555653525350", -28},
        {"\xe4\xb8\xad\xe6\x96\x87keykeykeykey!!", "", "e4b8ade696876b65796b65796b65796b65792121", -105},
    };
    for (const Case &c : cases)
    {
        const QByteArray mixed = Ostrel::mixKey(c.key, c.sizeText);
        EXPECT_EQ(mixed.toHex(), QByteArray(c.mixedHex)) << c.key.constData();
        EXPECT_EQ(Ostrel::keyNumber(mixed), c.number) << c.key.constData();
    }
    EXPECT_EQ(Ostrel::keyNumber(QByteArray()), 185);
    EXPECT_EQ(Ostrel::keyNumber("A"), 0) << "byte 0 takes no part";
    EXPECT_EQ(Ostrel::keyNumber(QByteArray("\x80\xff")), -243) << "bytes are signed";
    EXPECT_EQ(Ostrel::keyNumber(QByteArray("\x41\xc8")), -190);
    EXPECT_EQ(Ostrel::byteSum(0xFFFFFFFF), 1020);
}
