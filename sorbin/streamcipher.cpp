#include "streamcipher.h"

#include <cstring>
#include <utility>

#include "blowfishtables.h"

namespace
{
    const uint32_t kTeaDelta = 0x9E3779B9u;

    uint32_t loadLe(const uint8_t *p)
    {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }

    void storeLe(uint8_t *p, uint32_t v)
    {
        p[0] = uint8_t(v);
        p[1] = uint8_t(v >> 8);
        p[2] = uint8_t(v >> 16);
        p[3] = uint8_t(v >> 24);
    }
}

void teaEncrypt(uint8_t *block, const uint8_t *key)
{
    uint32_t y = loadLe(block), z = loadLe(block + 4);
    const uint32_t k0 = loadLe(key), k1 = loadLe(key + 4), k2 = loadLe(key + 8), k3 = loadLe(key + 12);
    uint32_t sum = 0;
    for (int i = 0; i < 32; ++i)
    {
        sum += kTeaDelta;
        y += ((z << 4) + k0) ^ (z + sum) ^ ((z >> 5) + k1);
        z += ((y << 4) + k2) ^ (y + sum) ^ ((y >> 5) + k3);
    }
    storeLe(block, y);
    storeLe(block + 4, z);
}

void teaDecrypt(uint8_t *block, const uint8_t *key)
{
    uint32_t y = loadLe(block), z = loadLe(block + 4);
    const uint32_t k0 = loadLe(key), k1 = loadLe(key + 4), k2 = loadLe(key + 8), k3 = loadLe(key + 12);
    uint32_t sum = kTeaDelta * 32; // 0xC6EF3720
    for (int i = 0; i < 32; ++i)
    {
        z -= ((y << 4) + k2) ^ (y + sum) ^ ((y >> 5) + k3);
        y -= ((z << 4) + k0) ^ (z + sum) ^ ((z >> 5) + k1);
        sum -= kTeaDelta;
    }
    storeLe(block, y);
    storeLe(block + 4, z);
}

uint32_t blowfishRound(const BlowfishContext &ctx, uint32_t x)
{
    const uint8_t a = uint8_t(x >> 24), b = uint8_t(x >> 16), c = uint8_t(x >> 8), d = uint8_t(x);
    return ((ctx.s[0][a] + ctx.s[1][b]) ^ ctx.s[2][c]) + ctx.s[3][d];
}

namespace
{
    // The 16 rounds; decryption takes the P entries in reverse order.
    void blowfishRounds(const BlowfishContext &ctx, uint32_t &left, uint32_t &right, bool reverse)
    {
        uint32_t l = left, r = right;
        for (int i = 0; i < 16; ++i)
        {
            l ^= ctx.p[reverse ? 17 - i : i];
            r ^= blowfishRound(ctx, l);
            std::swap(l, r);
        }
        std::swap(l, r);
        r ^= ctx.p[reverse ? 1 : 16];
        l ^= ctx.p[reverse ? 0 : 17];
        left = l;
        right = r;
    }

    // Every whole 8-byte block of the buffer, in place.
    void blowfishBuffer(const BlowfishContext &ctx, uint8_t *buffer, size_t length, bool reverse)
    {
        for (size_t off = 0; off + 8 <= length; off += 8)
        {
            uint32_t l = loadLe(buffer + off), r = loadLe(buffer + off + 4);
            blowfishRounds(ctx, l, r, reverse);
            storeLe(buffer + off, l);
            storeLe(buffer + off + 4, r);
        }
    }
}

void blowfishBlockEncrypt(const BlowfishContext &ctx, uint32_t &left, uint32_t &right)
{
    blowfishRounds(ctx, left, right, false);
}

void blowfishBlockDecrypt(const BlowfishContext &ctx, uint32_t &left, uint32_t &right)
{
    blowfishRounds(ctx, left, right, true);
}

void blowfishInit(BlowfishContext &ctx, const uint8_t *key, size_t keyLength)
{
    std::memcpy(ctx.p, kBlowfishP, sizeof ctx.p);
    std::memcpy(ctx.s, kBlowfishS, sizeof ctx.s);
    size_t j = 0;
    for (int i = 0; i < 18; ++i)
    {
        uint32_t data = 0;
        for (int k = 0; k < 4; ++k)
        {
            data = data << 8 | key[j];
            j = (j + 1) % keyLength;
        }
        ctx.p[i] ^= data;
    }
    uint32_t l = 0, r = 0;
    for (int i = 0; i < 18; i += 2)
    {
        blowfishBlockEncrypt(ctx, l, r);
        ctx.p[i] = l;
        ctx.p[i + 1] = r;
    }
    for (int box = 0; box < 4; ++box)
        for (int i = 0; i < 256; i += 2)
        {
            blowfishBlockEncrypt(ctx, l, r);
            ctx.s[box][i] = l;
            ctx.s[box][i + 1] = r;
        }
}

void blowfishEncrypt(const BlowfishContext &ctx, uint8_t *buffer, size_t length)
{
    blowfishBuffer(ctx, buffer, length, false);
}

void blowfishEncrypt(uint8_t *buffer, size_t length, const uint8_t *key)
{
    BlowfishContext ctx;
    blowfishInit(ctx, key, 4);
    blowfishEncrypt(ctx, buffer, length);
}

void blowfishDecrypt(uint8_t *buffer, size_t length, const uint8_t *key, size_t keyLength)
{
    BlowfishContext ctx;
    blowfishInit(ctx, key, keyLength);
    blowfishBuffer(ctx, buffer, length, true);
}
