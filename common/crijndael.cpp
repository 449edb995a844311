#include "crijndael.h"

#include <cstring>

namespace
{
    uint8_t xtime(uint8_t b)
    {
        return static_cast<uint8_t>((b << 1) ^ ((b & 0x80) ? 0x1b : 0x00));
    }

    uint8_t gmul(uint8_t a, uint8_t b)
    {
        uint8_t r = 0;
        while (b) {
            if (b & 1)
                r ^= a;
            a = xtime(a);
            b >>= 1;
        }
        return r;
    }

    // S-box, its inverse and the multiplication tables of MixColumns, built once from
    // the field arithmetic (multiplicative inverse in GF(2^8) and the affine map).
    struct Tables
    {
        uint8_t sbox[256];
        uint8_t inv[256];
        uint8_t mul2[256], mul3[256], mul9[256], mul11[256], mul13[256], mul14[256];

        Tables()
        {
            for (int x = 0; x < 256; ++x) {
                uint8_t invx = 0;
                if (x) {
                    for (int y = 1; y < 256; ++y) {
                        if (gmul(static_cast<uint8_t>(x), static_cast<uint8_t>(y)) == 1) {
                            invx = static_cast<uint8_t>(y);
                            break;
                        }
                    }
                }
                uint8_t s = invx;
                uint8_t r = invx;
                for (int i = 0; i < 4; ++i) {
                    r = static_cast<uint8_t>((r << 1) | (r >> 7));
                    s ^= r;
                }
                s ^= 0x63;
                sbox[x] = s;
                inv[s] = static_cast<uint8_t>(x);
            }
            for (int x = 0; x < 256; ++x) {
                const uint8_t b = static_cast<uint8_t>(x);
                mul2[x] = gmul(b, 2);
                mul3[x] = gmul(b, 3);
                mul9[x] = gmul(b, 9);
                mul11[x] = gmul(b, 11);
                mul13[x] = gmul(b, 13);
                mul14[x] = gmul(b, 14);
            }
        }
    };

    const Tables &tables()
    {
        static const Tables t;
        return t;
    }

    // Row shift offsets for 4, 6 and 8 columns.
    int shiftOf(int blockWords, int row)
    {
        static const int shifts[3][4] = {{0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 3, 4}};
        const int k = blockWords == 4 ? 0 : (blockWords == 6 ? 1 : 2);
        return shifts[k][row];
    }

    uint32_t loadBE(const unsigned char *p)
    {
        return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
    }

    uint8_t byteOf(uint32_t w, int row)
    {
        return static_cast<uint8_t>(w >> (24 - 8 * row));
    }

    uint32_t subWord(uint32_t w)
    {
        const Tables &t = tables();
        return (uint32_t(t.sbox[byteOf(w, 0)]) << 24) | (uint32_t(t.sbox[byteOf(w, 1)]) << 16)
            | (uint32_t(t.sbox[byteOf(w, 2)]) << 8) | uint32_t(t.sbox[byteOf(w, 3)]);
    }

    bool validLength(int n)
    {
        return n == 16 || n == 24 || n == 32;
    }
}

CRijndael::CRijndael() = default;

CRijndael::~CRijndael()
{
    // Key material does not outlive the object.
    volatile unsigned char *p = reinterpret_cast<volatile unsigned char *>(m_ke);
    for (size_t i = 0; i < sizeof(m_ke); ++i)
        p[i] = 0;
    p = reinterpret_cast<volatile unsigned char *>(m_kd);
    for (size_t i = 0; i < sizeof(m_kd); ++i)
        p[i] = 0;
}

bool CRijndael::setKey(const unsigned char *key, const unsigned char *chain, int keyLength, int blockSize)
{
    if (!key || !validLength(keyLength) || !validLength(blockSize))
        return false;

    m_keyLength = keyLength;
    m_blockSize = blockSize;
    const int nk = keyLength / 4;
    const int nb = blockSize / 4;
    m_rounds = 6 + (nk > nb ? nk : nb);

    const int total = nb * (m_rounds + 1);
    uint32_t w[MAX_BC * (MAX_ROUNDS + 1)];
    for (int i = 0; i < nk; ++i)
        w[i] = loadBE(key + 4 * i);
    uint8_t rcon = 1;
    for (int i = nk; i < total; ++i) {
        uint32_t temp = w[i - 1];
        if (i % nk == 0) {
            temp = subWord((temp << 8) | (temp >> 24)) ^ (uint32_t(rcon) << 24);
            rcon = xtime(rcon);
        } else if (nk > 6 && i % nk == 4) {
            temp = subWord(temp);
        }
        w[i] = w[i - nk] ^ temp;
    }
    for (int r = 0; r <= m_rounds; ++r) {
        for (int c = 0; c < nb; ++c) {
            m_ke[r][c] = w[r * nb + c];
            m_kd[m_rounds - r][c] = w[r * nb + c];
        }
    }

    if (chain)
        std::memcpy(m_chain0, chain, blockSize);
    else
        std::memset(m_chain0, 0, sizeof(m_chain0));
    std::memcpy(m_chain, m_chain0, blockSize);
    m_initialized = true;
    return true;
}

void CRijndael::resetChain()
{
    std::memcpy(m_chain, m_chain0, sizeof(m_chain));
}

int CRijndael::blockSize() const
{
    return m_blockSize;
}

bool CRijndael::isInitialized() const
{
    return m_initialized;
}

void CRijndael::encryptBlock(const unsigned char *in, unsigned char *out)
{
    const Tables &t = tables();
    const int nb = m_blockSize / 4;
    uint8_t s[MAX_BLOCK];
    uint8_t tmp[MAX_BLOCK];

    // s[4 * c + r] is row r of column c.
    for (int i = 0; i < m_blockSize; ++i)
        s[i] = in[i] ^ byteOf(m_ke[0][i / 4], i % 4);

    for (int round = 1; round <= m_rounds; ++round) {
        // SubBytes and ShiftRows.
        for (int c = 0; c < nb; ++c)
            for (int r = 0; r < 4; ++r)
                tmp[4 * c + r] = t.sbox[s[4 * ((c + shiftOf(nb, r)) % nb) + r]];
        if (round != m_rounds) {
            for (int c = 0; c < nb; ++c) {
                const uint8_t a0 = tmp[4 * c], a1 = tmp[4 * c + 1], a2 = tmp[4 * c + 2], a3 = tmp[4 * c + 3];
                s[4 * c] = t.mul2[a0] ^ t.mul3[a1] ^ a2 ^ a3;
                s[4 * c + 1] = a0 ^ t.mul2[a1] ^ t.mul3[a2] ^ a3;
                s[4 * c + 2] = a0 ^ a1 ^ t.mul2[a2] ^ t.mul3[a3];
                s[4 * c + 3] = t.mul3[a0] ^ a1 ^ a2 ^ t.mul2[a3];
            }
        } else {
            std::memcpy(s, tmp, m_blockSize);
        }
        for (int i = 0; i < m_blockSize; ++i)
            s[i] ^= byteOf(m_ke[round][i / 4], i % 4);
    }
    std::memcpy(out, s, m_blockSize);
}

void CRijndael::decryptBlock(const unsigned char *in, unsigned char *out)
{
    const Tables &t = tables();
    const int nb = m_blockSize / 4;
    uint8_t s[MAX_BLOCK];
    uint8_t tmp[MAX_BLOCK];

    for (int i = 0; i < m_blockSize; ++i)
        s[i] = in[i] ^ byteOf(m_kd[0][i / 4], i % 4);

    for (int round = 1; round <= m_rounds; ++round) {
        // Inverse ShiftRows and SubBytes.
        for (int c = 0; c < nb; ++c)
            for (int r = 0; r < 4; ++r)
                tmp[4 * ((c + shiftOf(nb, r)) % nb) + r] = t.inv[s[4 * c + r]];
        for (int i = 0; i < m_blockSize; ++i)
            tmp[i] ^= byteOf(m_kd[round][i / 4], i % 4);
        if (round != m_rounds) {
            for (int c = 0; c < nb; ++c) {
                const uint8_t a0 = tmp[4 * c], a1 = tmp[4 * c + 1], a2 = tmp[4 * c + 2], a3 = tmp[4 * c + 3];
                s[4 * c] = t.mul14[a0] ^ t.mul11[a1] ^ t.mul13[a2] ^ t.mul9[a3];
                s[4 * c + 1] = t.mul9[a0] ^ t.mul14[a1] ^ t.mul11[a2] ^ t.mul13[a3];
                s[4 * c + 2] = t.mul13[a0] ^ t.mul9[a1] ^ t.mul14[a2] ^ t.mul11[a3];
                s[4 * c + 3] = t.mul11[a0] ^ t.mul13[a1] ^ t.mul9[a2] ^ t.mul14[a3];
            }
        } else {
            std::memcpy(s, tmp, m_blockSize);
        }
    }
    std::memcpy(out, s, m_blockSize);
}

bool CRijndael::encrypt(const unsigned char *in, unsigned char *out, size_t n, int mode)
{
    if (!m_initialized || (n && (!in || !out)))
        return false;
    const size_t bs = static_cast<size_t>(m_blockSize);
    const size_t blocks = n / bs;
    for (size_t b = 0; b < blocks; ++b) {
        const unsigned char *src = in + b * bs;
        unsigned char *dst = out + b * bs;
        if (mode == CBC) {
            for (size_t i = 0; i < bs; ++i)
                m_chain[i] ^= src[i];
            encryptBlock(m_chain, dst);
            std::memcpy(m_chain, dst, bs);
        } else if (mode == CFB) {
            encryptBlock(m_chain, m_work);
            for (size_t i = 0; i < bs; ++i)
                dst[i] = m_work[i] ^ src[i];
            std::memcpy(m_chain, dst, bs);
        } else {
            encryptBlock(src, dst);
        }
    }
    return true;
}

bool CRijndael::decrypt(const unsigned char *in, unsigned char *out, size_t n, int mode)
{
    if (!m_initialized || (n && (!in || !out)))
        return false;
    const size_t bs = static_cast<size_t>(m_blockSize);
    const size_t blocks = n / bs;
    unsigned char saved[MAX_BLOCK];
    for (size_t b = 0; b < blocks; ++b) {
        const unsigned char *src = in + b * bs;
        unsigned char *dst = out + b * bs;
        std::memcpy(saved, src, bs); // in and out may overlap
        if (mode == CBC) {
            decryptBlock(saved, m_work);
            for (size_t i = 0; i < bs; ++i)
                dst[i] = m_work[i] ^ m_chain[i];
            std::memcpy(m_chain, saved, bs);
        } else if (mode == CFB) {
            encryptBlock(m_chain, m_work);
            for (size_t i = 0; i < bs; ++i)
                dst[i] = m_work[i] ^ saved[i];
            std::memcpy(m_chain, saved, bs);
        } else {
            decryptBlock(saved, dst);
        }
    }
    return true;
}
