#include "servercrypto.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include <json/json.h>
#include <openssl/evp.h>
#include <openssl/md5.h>

namespace servercrypto
{
    const char *const kParamKey = "QWPT)(#@!$MBVCXZ(K)*&RTY^POIU%NB";

    namespace
    {
        const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

        std::string keyBlock(const std::string &key)
        {
            std::string block(32, '0');
            const size_t n = std::min<size_t>(32, std::strlen(key.c_str()));
            block.replace(0, n, key.c_str(), n);
            return block;
        }

        using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

        int hexValue(char c)
        {
            if (c >= '0' && c <= '9')
                return c - '0';
            if (c >= 'a' && c <= 'f')
                return c - 'a' + 10;
            if (c >= 'A' && c <= 'F')
                return c - 'A' + 10;
            return -1;
        }

        std::string rawMd5(const std::string &bytes)
        {
            unsigned char digest[16];
            unsigned int len = 0;
            EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_md5(), nullptr);
            return std::string(reinterpret_cast<const char *>(digest), 16);
        }
    }

    std::string aesEncrypt(const std::string &plain, const std::string &key)
    {
        const std::string k = keyBlock(key);
        CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
        std::string out(plain.size() + 32, '\0');
        int n1 = 0, n2 = 0;
        EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, reinterpret_cast<const unsigned char *>(k.data()), nullptr);
        EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char *>(&out[0]), &n1,
                          reinterpret_cast<const unsigned char *>(plain.data()), static_cast<int>(plain.size()));
        EVP_EncryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char *>(&out[n1]), &n2);
        out.resize(n1 + n2);
        return base64Encode(out);
    }

    bool aesDecrypt(const std::string &cipher, const std::string &key, std::string &plain, std::string &error)
    {
        if (cipher.empty() || cipher.size() % 16 != 0)
        {
            error = "cipher text is not whole blocks";
            return false;
        }
        const std::string k = keyBlock(key);
        CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
        std::string out(cipher.size() + 16, '\0');
        int n1 = 0, n2 = 0;
        EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, reinterpret_cast<const unsigned char *>(k.data()), nullptr);
        if (EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char *>(&out[0]), &n1,
                              reinterpret_cast<const unsigned char *>(cipher.data()), static_cast<int>(cipher.size())) != 1
            || EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char *>(&out[n1]), &n2) != 1)
        {
            error = "bad padding";
            return false;
        }
        out.resize(n1 + n2);
        plain = out;
        return true;
    }

    std::string base64Encode(const std::string &bytes)
    {
        std::string out;
        out.reserve((bytes.size() + 2) / 3 * 4);
        size_t i = 0;
        for (; i + 2 < bytes.size(); i += 3)
        {
            const uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
            out += kAlphabet[(v >> 18) & 63];
            out += kAlphabet[(v >> 12) & 63];
            out += kAlphabet[(v >> 6) & 63];
            out += kAlphabet[v & 63];
        }
        if (i + 1 == bytes.size())
        {
            const uint32_t v = uint8_t(bytes[i]) << 16;
            out += kAlphabet[(v >> 18) & 63];
            out += kAlphabet[(v >> 12) & 63];
            out += "==";
        }
        else if (i + 2 == bytes.size())
        {
            const uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8);
            out += kAlphabet[(v >> 18) & 63];
            out += kAlphabet[(v >> 12) & 63];
            out += kAlphabet[(v >> 6) & 63];
            out += '=';
        }
        return out;
    }

    bool base64Decode(const std::string &text, std::string &bytes)
    {
        if (text.size() % 4 != 0)
            return false;
        bytes.clear();
        for (size_t i = 0; i < text.size(); i += 4)
        {
            uint32_t v = 0;
            int pad = 0;
            for (size_t j = 0; j < 4; ++j)
            {
                const char c = text[i + j];
                int d = -1;
                if (c == '=')
                {
                    // Padding only in the last group, as its last one or two characters.
                    if (i + 4 != text.size() || j < 2)
                        return false;
                    ++pad;
                    d = 0;
                }
                else
                {
                    if (pad > 0)
                        return false;
                    const char *p = std::strchr(kAlphabet, c);
                    if (!p || c == '\0')
                        return false;
                    d = static_cast<int>(p - kAlphabet);
                }
                v = (v << 6) | static_cast<uint32_t>(d);
            }
            bytes += static_cast<char>((v >> 16) & 0xFF);
            if (pad < 2)
                bytes += static_cast<char>((v >> 8) & 0xFF);
            if (pad < 1)
                bytes += static_cast<char>(v & 0xFF);
        }
        return true;
    }

    std::string md5Hex(const std::string &bytes)
    {
        const std::string d = rawMd5(bytes);
        std::string out;
        char buf[3];
        for (unsigned char c : d)
        {
            std::snprintf(buf, sizeof buf, "%02x", c);
            out += buf;
        }
        return out;
    }

    std::string md5Variant(const std::string &bytes)
    {
        const std::string d = rawMd5(bytes);
        static const char hex[] = "0123456789ABCDEF";
        std::string out;
        for (unsigned i = 0; i < 16; ++i)
        {
            const unsigned m = ((((unsigned char)d[i] ^ i) * 4u) | (i * i)) & 0xFFu;
            out += hex[m >> 4];
            out += hex[m & 15];
        }
        return out;
    }

    uint8_t crc8(const std::string &bytes)
    {
        uint8_t reg = 0;
        for (unsigned char c : bytes)
        {
            reg ^= c;
            for (int k = 0; k < 8; ++k)
                reg = (reg & 0x80) ? static_cast<uint8_t>((reg << 1) ^ 0xAA) : static_cast<uint8_t>(reg << 1);
        }
        return reg;
    }

    bool percentDecode(const std::string &text, std::string &out)
    {
        out.clear();
        for (size_t i = 0; i < text.size(); ++i)
        {
            if (text[i] != '%')
            {
                out += text[i];
                continue;
            }
            if (i + 2 >= text.size())
                return false;
            const int hi = hexValue(text[i + 1]);
            const int lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0)
                return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        return true;
    }

    std::string percentEncode(const std::string &text)
    {
        std::string out;
        char buf[4];
        for (unsigned char c : text)
        {
            if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~')
                out += static_cast<char>(c);
            else
            {
                std::snprintf(buf, sizeof buf, "%%%02X", c);
                out += buf;
            }
        }
        return out;
    }

    Pairs splitQuery(const std::string &text)
    {
        Pairs pairs;
        size_t pos = 0;
        while (pos < text.size())
        {
            size_t amp = text.find('&', pos);
            if (amp == std::string::npos)
                amp = text.size();
            const std::string entry = text.substr(pos, amp - pos);
            pos = amp + 1;
            if (entry.empty())
                continue;
            const size_t eq = entry.find('=');
            if (eq == std::string::npos)
                pairs.emplace_back(entry, std::string());
            else
                pairs.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
        }
        return pairs;
    }

    bool isPercentEncoded(const std::string &raw)
    {
        for (size_t i = 0; i < raw.size(); ++i)
        {
            const char c = raw[i];
            if (c == '%')
            {
                if (i + 2 >= raw.size() || hexValue(raw[i + 1]) < 0 || hexValue(raw[i + 2]) < 0)
                    return false;
                i += 2;
            }
            else if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
                       || c == '_' || c == '~'))
                return false;
        }
        return true;
    }

    bool decodeKey(const std::string &key, Pairs &params, std::string &error)
    {
        std::string plain;
        return decodeKey(key, params, plain, error);
    }

    bool decodeKey(const std::string &key, Pairs &params, std::string &plain, std::string &error)
    {
        params.clear();
        plain.clear();
        if (key.size() < 2 + 24)
        {
            error = "too short";
            return false;
        }
        const std::string digits = key.substr(0, 2);
        const std::string body = key.substr(2);
        for (char c : digits)
        {
            if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            {
                error = "checksum is not two upper-case hex digits";
                return false;
            }
        }
        char expected[3];
        std::snprintf(expected, sizeof expected, "%02X", crc8(body));
        if (digits != expected)
        {
            error = "checksum mismatch";
            return false;
        }
        std::string cipher;
        if (!base64Decode(body, cipher))
        {
            error = "not base64";
            return false;
        }
        std::string why;
        if (!aesDecrypt(cipher, kParamKey, plain, why))
        {
            error = why;
            return false;
        }
        if (plain.empty())
            return true;
        size_t pos = 0;
        while (pos <= plain.size())
        {
            size_t amp = plain.find('&', pos);
            if (amp == std::string::npos)
                amp = plain.size();
            const std::string entry = plain.substr(pos, amp - pos);
            const size_t eq = entry.find('=');
            if (entry.empty() || eq == std::string::npos || eq == 0)
            {
                error = "entry without name and \"=\"";
                params.clear();
                return false;
            }
            std::string value;
            if (!percentDecode(entry.substr(eq + 1), value))
            {
                error = "bad escape in " + entry.substr(0, eq);
                params.clear();
                return false;
            }
            params.emplace_back(entry.substr(0, eq), value);
            pos = amp + 1;
        }
        return true;
    }

    std::string encodeKey(const Pairs &params)
    {
        std::string text;
        for (const auto &p : params)
        {
            if (!text.empty())
                text += '&';
            text += p.first + "=" + percentEncode(p.second);
        }
        const std::string body = aesEncrypt(text, kParamKey);
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", crc8(body));
        return std::string(digits) + body;
    }

    std::string authCode(const std::string &mac, long long courseId, const std::string &keyBase)
    {
        const std::string key = md5Variant(mac + std::to_string(courseId));
        const std::string plain = "{\"str\":" + Json::valueToQuotedString(keyBase.c_str()) + "}";
        const std::string rest = aesEncrypt(plain, key);
        return md5Variant(rest).substr(0, 2) + rest;
    }
}
