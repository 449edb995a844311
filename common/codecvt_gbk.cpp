#include "codecvt_gbk.h"

#include <cerrno>
#include <iconv.h>

#include "cstringhelp.h"

namespace
{
    const wchar_t kReplacement = 0xFFFD;

    // ASCII kept, every other byte marked.
    std::wstring asciiOnly(const std::string &bytes) noexcept
    {
        std::wstring out;
        try {
            for (unsigned char c : bytes)
                out.push_back(c < 0x80 ? wchar_t(c) : kReplacement);
        } catch (...) {
        }
        return out;
    }
}

std::wstring codecvt_gbk::fromBytes(const std::string &bytes)
{
    std::wstring out;
    if (bytes.empty())
        return out;
    iconv_t cd = iconv_open("WCHAR_T", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return asciiOnly(bytes); // no converter
    try {
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
    } catch (...) {
        out = asciiOnly(bytes);
    }
    iconv_close(cd);
    return out;
}

std::wstring codecvt_gbk::fromUtf8OrGbk(const std::string &bytes)
{
    try {
        bool valid = false;
        std::wstring text = CStringHelp::utf8ToUnicode(bytes, &valid);
        if (valid)
            return text;
    } catch (...) {
    }
    return fromBytes(bytes);
}
