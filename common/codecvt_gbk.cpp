#include "codecvt_gbk.h"

#include <cerrno>
#include <iconv.h>

#include "cstringhelp.h"

namespace
{
    const wchar_t kReplacement = 0xFFFD;

    bool isValidUtf8(const std::string &bytes)
    {
        const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
        const size_t n = bytes.size();
        size_t i = 0;
        while (i < n) {
            const unsigned char c = p[i];
            size_t len = 0;
            char32_t cp = 0;
            if (c < 0x80) { ++i; continue; }
            if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; }
            else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; }
            else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; }
            else return false;
            if (i + len > n)
                return false;
            for (size_t k = 1; k < len; ++k) {
                if ((p[i + k] & 0xC0) != 0x80)
                    return false;
                cp = (cp << 6) | (p[i + k] & 0x3F);
            }
            if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))
                || (cp >= 0xD800 && cp <= 0xDFFF))
                return false;
            i += len;
        }
        return true;
    }
}

std::wstring codecvt_gbk::fromBytes(const std::string &bytes)
{
    std::wstring out;
    if (bytes.empty())
        return out;
    try {
        iconv_t cd = iconv_open("WCHAR_T", "GBK");
        if (cd == reinterpret_cast<iconv_t>(-1)) {
            // No converter: keep ASCII, mark the rest.
            for (unsigned char c : bytes)
                out.push_back(c < 0x80 ? wchar_t(c) : kReplacement);
            return out;
        }
        std::string in = bytes;
        char *inPtr = &in[0];
        size_t inLeft = in.size();
        wchar_t buffer[256];
        while (inLeft > 0) {
            char *outPtr = reinterpret_cast<char *>(buffer);
            size_t outLeft = sizeof(buffer);
            const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
            const int err = errno;
            out.append(buffer, (sizeof(buffer) - outLeft) / sizeof(wchar_t));
            if (rc != static_cast<size_t>(-1))
                break;
            if (err == E2BIG)
                continue;
            // EILSEQ or a sequence cut off at the end: one replacement, skip one byte.
            out.push_back(kReplacement);
            ++inPtr;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
        iconv_close(cd);
    } catch (...) {
        out.clear();
        for (unsigned char c : bytes)
            out.push_back(c < 0x80 ? wchar_t(c) : kReplacement);
    }
    return out;
}

std::wstring codecvt_gbk::fromUtf8OrGbk(const std::string &bytes)
{
    try {
        if (isValidUtf8(bytes))
            return CStringHelp::utf8ToUnicode(bytes);
    } catch (...) {
    }
    return fromBytes(bytes);
}
