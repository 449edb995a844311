#pragma once

// Cipher, digest and text codecs of the local platform server. Built on OpenSSL and a few
// lines of its own, independent of the program's cipher code, so that the two sides check each other.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace servercrypto
{
    using Pairs = std::vector<std::pair<std::string, std::string>>;

    // AES-256-ECB with PKCS#7; the key is padded with ASCII "0" (or cut) to 32 bytes.
    std::string aesEncrypt(const std::string &plain, const std::string &key);
    // Strict: whole blocks and valid PKCS#7 padding, else false with a reason in `error`.
    bool aesDecrypt(const std::string &cipher, const std::string &key, std::string &plain, std::string &error);

    std::string base64Encode(const std::string &bytes);
    // Strict: standard alphabet, length a multiple of 4, "=" only at the end.
    bool base64Decode(const std::string &text, std::string &bytes);

    std::string md5Hex(const std::string &bytes);
    // Mixed digest: byte i = ((d[i] ^ i) * 4 | i * i) & 0xFF, upper-case hex.
    std::string md5Variant(const std::string &bytes);

    // CRC-8, register 0, polynomial 0xAA, no reflection, no final XOR.
    uint8_t crc8(const std::string &bytes);

    // Strict percent-decoding ("+" stays "+"); false on a broken escape.
    bool percentDecode(const std::string &text, std::string &out);
    // Percent-encoding that keeps A-Z a-z 0-9 - . _ ~.
    std::string percentEncode(const std::string &text);

    // Splits "a=1&b=2" into pairs (raw, not decoded); an empty text gives no pair.
    Pairs splitQuery(const std::string &text);

    // The "key" parameter: checksum digits, base64, AES under the parameter key, entries.
    // On failure `error` names the step that failed.
    bool decodeKey(const std::string &key, Pairs &params, std::string &error);
    // The same, keeping the deciphered text before it is split (`plain`).
    bool decodeKey(const std::string &key, Pairs &params, std::string &plain, std::string &error);
    // True when `raw` (as it stands in the URL) holds only unreserved characters and "%XX"
    // escapes, so that no "+", "/" or "=" of a base64 text travelled unescaped.
    bool isPercentEncoded(const std::string &raw);
    // The inverse, for tests of the server itself.
    std::string encodeKey(const Pairs &params);

    // The course authorization code for a machine identifier, a course number and its key base.
    std::string authCode(const std::string &mac, long long courseId, const std::string &keyBase);

    extern const char *const kParamKey;
}
