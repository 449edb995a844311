#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// MD5 message digest (RFC 1321).
class MD5
{
public:
    MD5();
    MD5(const void *data, size_t length);
    explicit MD5(const std::string &text);

    // Appends bytes; ignored once the digest is finalized.
    void update(const void *data, size_t length);
    void update(const std::string &text);
    MD5 &finalize();

    // 16 digest bytes; finalizes first when needed.
    const uint8_t *digest();
    // 32 lower-case hex digits; finalizes first when needed.
    std::string hexdigest();
    bool isFinalized() const;

    // Mixed digest of a byte range: byte i of the digest becomes ((d ^ i) * 4) | (i * i)
    // (low 8 bits), written as 32 upper-case hex digits.
    static std::string mixedHexDigest(const void *data, size_t length);

private:
    void init();
    void transform(const uint8_t block[64]);

    uint32_t m_state[4];
    uint8_t m_buffer[64];
    size_t m_bufferLength;
    uint64_t m_bitCount;
    uint8_t m_digest[16];
    char m_hex[33];
    bool m_finalized;
};
