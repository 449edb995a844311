#pragma once

#include <string>

// GBK (code page 936) to wide text, the converter behind UException's narrow arguments.
// There is no "chs" locale here: the bytes are decoded with iconv. Never throws.
class codecvt_gbk
{
public:
    codecvt_gbk() = delete;

    // GBK bytes to wide text; a byte that starts no valid sequence becomes U+FFFD.
    static std::wstring fromBytes(const std::string &bytes);

    // Valid UTF-8 is decoded as UTF-8, anything else as GBK.
    static std::wstring fromUtf8OrGbk(const std::string &bytes);
};
