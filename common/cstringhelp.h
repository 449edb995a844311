#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

// Static text helpers shared by both programs.
//
// Narrow strings are bytes: UTF-8 text, or raw bytes where a caller says so. The "ANSI"
// code page is UTF-8 here, whatever the locale. Wide strings hold one code point per
// wchar_t (UTF-32); unicodeToUtf16/utf16ToUnicode exist for file formats that want UTF-16.
// Case folding, number parsing and character classes follow the C locale (ASCII only),
// whatever locale the application has set.
class CStringHelp
{
public:
    CStringHelp() = delete;

    // printf-style formatting. In the wide form "%s" and "%c" take wide arguments
    // (wchar_t* and wchar_t), "%hs"/"%hc" narrow ones; "%ls"/"%lc" are wide as well.
    static std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
    static std::wstring format(const wchar_t *fmt, ...);
    static std::string formatV(const char *fmt, va_list args) __attribute__((format(printf, 1, 0)));
    static std::wstring formatV(const wchar_t *fmt, va_list args);

    // Code-page conversions. Invalid input becomes U+FFFD (decoding) or "?" (ANSI encoding).
    static std::wstring ansiToUnicode(const std::string &text);
    static std::string unicodeToAnsi(const std::wstring &text);
    static std::string unicodeToUtf8(const std::wstring &text);
    static std::wstring utf8ToUnicode(const std::string &text);
    // Same; `*valid` tells whether the text was well-formed UTF-8 (no replacement made).
    static std::wstring utf8ToUnicode(const std::string &text, bool *valid);
    static std::string ansiToUtf8(const std::string &text);
    static std::string utf8ToAnsi(const std::string &text);
    static std::u16string unicodeToUtf16(const std::wstring &text);
    static std::wstring utf16ToUnicode(const std::u16string &text);

    // Replaces every occurrence, left to right, never rescanning inserted text.
    // An empty `what` leaves the text unchanged.
    static void replaceAll(std::string &text, const std::string &what, const std::string &with);
    static void replaceAll(std::wstring &text, const std::wstring &what, const std::wstring &with);

    // 0 when equal, negative when a sorts first, positive otherwise.
    static int compare(const std::string &a, const std::string &b, bool ignoreCase = false);
    static int compare(const std::wstring &a, const std::wstring &b, bool ignoreCase = false);
    // -1 when either text is shorter than n; otherwise compare() of the first n characters.
    static int compareN(const std::string &a, const std::string &b, size_t n, bool ignoreCase = false);
    static int compareN(const std::wstring &a, const std::wstring &b, size_t n, bool ignoreCase = false);
    // Position of b in a, or npos.
    static size_t find(const std::string &a, const std::string &b, bool ignoreCase = false);
    static size_t find(const std::wstring &a, const std::wstring &b, bool ignoreCase = false);
    // Suffix test, always ignoring case.
    static bool endsWith(const std::string &a, const std::string &b);
    static bool endsWith(const std::wstring &a, const std::wstring &b);

    // Standard base64 with "=" padding and no line breaks.
    static std::string base64Encode(const std::string &bytes);
    static std::string base64Encode(const unsigned char *bytes, size_t length);
    // Stops at the first "=" or the first character outside the alphabet.
    static std::string base64Decode(const std::string &text);
    static bool isBase64Char(char c);

    static std::string urlEncode(const std::string &text);
    static std::string urlDecode(const std::string &text);

    static std::string toString(int8_t value);
    static std::string toString(int32_t value);
    static std::string toString(uint32_t value);
    static std::string toString(long value);
    static std::string toString(unsigned long value);
    static std::string toString(long long value);
    static std::string toString(unsigned long long value);
    static std::string toString(float value);
    static std::string toString(double value);
    static std::string toString(const char *text);
    static std::wstring toWString(int8_t value);
    static std::wstring toWString(int32_t value);
    static std::wstring toWString(uint32_t value);
    static std::wstring toWString(long value);
    static std::wstring toWString(unsigned long value);
    static std::wstring toWString(long long value);
    static std::wstring toWString(unsigned long long value);
    static std::wstring toWString(float value);
    static std::wstring toWString(double value);
    static std::wstring toWString(const wchar_t *text);

    // Leading decimal number; 0 when there is none, clipped to the type's range.
    static int toInt(const std::string &text);
    static int toInt(const std::wstring &text);
    // The narrow form throws std::invalid_argument / std::out_of_range like std::stoll;
    // the wide form returns 0 when there is no number.
    static int64_t toInt64(const std::string &text);
    static int64_t toInt64(const std::wstring &text);
    static float toFloat(const std::string &text);
    static float toFloat(const std::wstring &text);

    // ASCII case mapping on a copy; other characters are kept.
    static std::string toLower(const std::string &text);
    static std::string toUpper(const std::string &text);
    static std::wstring toLower(const std::wstring &text);
    static std::wstring toUpper(const std::wstring &text);

    // Remove runs of " " (only the space character) in place.
    static std::string &trimLeft(std::string &text);
    static std::string &trimRight(std::string &text);
    static std::string &trim(std::string &text);
    static std::wstring &trimLeft(std::wstring &text);
    static std::wstring &trimRight(std::wstring &text);
    static std::wstring &trim(std::wstring &text);

    // h = h * 5 + (signed 8-bit byte), wrapping at 32 bits.
    static int32_t hash(const std::string &text);

    // AES-256 ECB with PKCS#7 padding, base64 text. The key is read up to its first NUL
    // and at most 32 bytes of it are used; the rest of the key block is ASCII "0".
    static std::string aesEncrypt(const std::string &text, const std::string &key);
    // Throws UException when the decoded length is not a whole number of blocks.
    // The padding is removed as its last byte says, without checking it.
    static std::string aesDecrypt(const std::string &text, const std::string &key);
    // Same result, never throws: *ok tells whether the text deciphered with sound padding
    // (whole blocks, last byte 1..16, all padding bytes equal). Empty on a bad length.
    static std::string aesDecrypt(const std::string &text, const std::string &key, bool *ok);

    // MD5 as 32 lower-case hex digits.
    static std::string md5(const std::string &text);
    // The mixed MD5 digest as 32 upper-case hex digits.
    static std::string md5Variant(const std::string &text);
};
