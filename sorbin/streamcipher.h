#pragma once

#include <cstddef>
#include <cstdint>

// Block ciphers of the stream cipher's header. Blocks are 8 bytes, their two halves read and
// written as little-endian 32-bit words. The program only enciphers; the inverses are for
// readers of its output.

// TEA, 32 cycles; the 16-byte key is read as four little-endian words.
void teaEncrypt(uint8_t *block, const uint8_t *key);
void teaDecrypt(uint8_t *block, const uint8_t *key);

struct BlowfishContext
{
    uint32_t p[18];
    uint32_t s[4][256];
};

// Key schedule over keyLength bytes of key, taken cyclically (keyLength > 0).
void blowfishInit(BlowfishContext &ctx, const uint8_t *key, size_t keyLength);
uint32_t blowfishRound(const BlowfishContext &ctx, uint32_t x);
void blowfishBlockEncrypt(const BlowfishContext &ctx, uint32_t &left, uint32_t &right);
void blowfishBlockDecrypt(const BlowfishContext &ctx, uint32_t &left, uint32_t &right);
// Every whole 8-byte block of the buffer, in place; the rest stays as it is.
void blowfishEncrypt(const BlowfishContext &ctx, uint8_t *buffer, size_t length);
// Same with a schedule of the key's first 4 bytes built for the call.
void blowfishEncrypt(uint8_t *buffer, size_t length, const uint8_t *key);
// Inverse of the above for a schedule of keyLength key bytes.
void blowfishDecrypt(uint8_t *buffer, size_t length, const uint8_t *key, size_t keyLength);
