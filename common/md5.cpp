#include "md5.h"

#include <cstring>

namespace
{
    const uint32_t K[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
        0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
        0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
        0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
        0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
        0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
        0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

    const int S[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                       5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                       4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                       6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

    uint32_t rotl(uint32_t x, int c)
    {
        return (x << c) | (x >> (32 - c));
    }

    const char HEX_LOWER[] = "0123456789abcdef";
    const char HEX_UPPER[] = "0123456789ABCDEF";
}

MD5::MD5()
{
    init();
}

MD5::MD5(const void *data, size_t length)
{
    init();
    update(data, length);
    finalize();
}

MD5::MD5(const std::string &text)
    : MD5(text.data(), text.size())
{
}

void MD5::init()
{
    m_state[0] = 0x67452301;
    m_state[1] = 0xefcdab89;
    m_state[2] = 0x98badcfe;
    m_state[3] = 0x10325476;
    std::memset(m_buffer, 0, sizeof(m_buffer));
    m_bufferLength = 0;
    m_bitCount = 0;
    std::memset(m_digest, 0, sizeof(m_digest));
    std::memset(m_hex, 0, sizeof(m_hex));
    m_finalized = false;
}

void MD5::transform(const uint8_t block[64])
{
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = uint32_t(block[4 * i]) | (uint32_t(block[4 * i + 1]) << 8) | (uint32_t(block[4 * i + 2]) << 16)
            | (uint32_t(block[4 * i + 3]) << 24);

    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        const uint32_t next = b + rotl(a + f + K[i] + m[g], S[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
}

void MD5::update(const void *data, size_t length)
{
    if (m_finalized || length == 0 || !data)
        return;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    m_bitCount += uint64_t(length) * 8;
    while (length > 0) {
        const size_t take = (64 - m_bufferLength) < length ? (64 - m_bufferLength) : length;
        std::memcpy(m_buffer + m_bufferLength, p, take);
        m_bufferLength += take;
        p += take;
        length -= take;
        if (m_bufferLength == 64) {
            transform(m_buffer);
            m_bufferLength = 0;
        }
    }
}

void MD5::update(const std::string &text)
{
    update(text.data(), text.size());
}

MD5 &MD5::finalize()
{
    if (m_finalized)
        return *this;
    const uint64_t bits = m_bitCount;
    uint8_t pad[72] = {0x80};
    const size_t padLength = m_bufferLength < 56 ? 56 - m_bufferLength : 120 - m_bufferLength;
    uint8_t length[8];
    for (int i = 0; i < 8; ++i)
        length[i] = static_cast<uint8_t>(bits >> (8 * i));
    update(pad, padLength);
    update(length, 8);

    for (int i = 0; i < 16; ++i)
        m_digest[i] = static_cast<uint8_t>(m_state[i / 4] >> (8 * (i % 4)));
    for (int i = 0; i < 16; ++i) {
        m_hex[2 * i] = HEX_LOWER[m_digest[i] >> 4];
        m_hex[2 * i + 1] = HEX_LOWER[m_digest[i] & 0x0f];
    }
    m_hex[32] = '\0';
    std::memset(m_buffer, 0, sizeof(m_buffer));
    m_finalized = true;
    return *this;
}

const uint8_t *MD5::digest()
{
    finalize();
    return m_digest;
}

std::string MD5::hexdigest()
{
    // Finalizing on demand: a digest asked for early is the digest of what came so far.
    finalize();
    return std::string(m_hex, 32);
}

bool MD5::isFinalized() const
{
    return m_finalized;
}

std::string MD5::mixedHexDigest(const void *data, size_t length)
{
    MD5 md5(data, length);
    const uint8_t *d = md5.digest();
    std::string out(32, '0');
    for (unsigned i = 0; i < 16; ++i) {
        const uint8_t m = static_cast<uint8_t>(((unsigned(d[i]) ^ i) * 4u) | (i * i));
        out[2 * i] = HEX_UPPER[m >> 4];
        out[2 * i + 1] = HEX_UPPER[m & 0x0f];
    }
    return out;
}
