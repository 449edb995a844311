#include "cstringhelp.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <type_traits>
#include <locale.h>
#include <wchar.h>

#include "crijndael.h"
#include "md5.h"
#include "uexception.h"

namespace
{
    const char BASE64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const wchar_t REPLACEMENT = 0xFFFD;

    // Line reported by a bad cipher-text length; log readers match on it.
    const int AES_LENGTH_CHECK_LINE = 408;

    // Formatting and number parsing run in C.UTF-8: "." as decimal point whatever the
    // application locale, and UTF-8 for narrow/wide conversions inside printf.
    locale_t textLocale()
    {
        static const locale_t loc = [] {
            locale_t l = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(0));
            if (!l)
                l = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
            return l;
        }();
        return loc;
    }

    class TextLocaleScope
    {
    public:
        TextLocaleScope()
            : m_previous(textLocale() ? uselocale(textLocale()) : static_cast<locale_t>(0))
        {
        }
        ~TextLocaleScope()
        {
            if (m_previous)
                uselocale(m_previous);
        }
        TextLocaleScope(const TextLocaleScope &) = delete;
        TextLocaleScope &operator=(const TextLocaleScope &) = delete;

    private:
        locale_t m_previous;
    };

    bool isAsciiAlnum(unsigned char c)
    {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    }

    int base64Value(unsigned char c)
    {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    }

    int hexValue(unsigned char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    template <typename Char>
    Char upperChar(Char c)
    {
        return (c >= 'a' && c <= 'z') ? static_cast<Char>(c - 'a' + 'A') : c;
    }

    template <typename Char>
    Char lowerChar(Char c)
    {
        return (c >= 'A' && c <= 'Z') ? static_cast<Char>(c - 'A' + 'a') : c;
    }

    template <typename S>
    S upperCopy(const S &text)
    {
        S out(text);
        for (auto &c : out)
            c = upperChar(c);
        return out;
    }

    template <typename S>
    S lowerCopy(const S &text)
    {
        S out(text);
        for (auto &c : out)
            c = lowerChar(c);
        return out;
    }

    template <typename S>
    void replaceAllIn(S &text, const S &what, const S &with)
    {
        if (what.empty())
            return;
        size_t start = 0;
        while (start < text.size()) {
            const size_t pos = text.find(what, start);
            if (pos == S::npos)
                break;
            text.replace(pos, what.size(), with);
            start = pos + with.size();
        }
    }

    template <typename S>
    int compareIn(const S &a, const S &b, bool ignoreCase)
    {
        if (ignoreCase)
            return upperCopy(a).compare(upperCopy(b));
        return a.compare(b);
    }

    template <typename S>
    int compareNIn(const S &a, const S &b, size_t n, bool ignoreCase)
    {
        if (a.size() < n || b.size() < n)
            return -1;
        return compareIn(a.substr(0, n), b.substr(0, n), ignoreCase);
    }

    template <typename S>
    size_t findIn(const S &a, const S &b, bool ignoreCase)
    {
        if (ignoreCase)
            return upperCopy(a).find(upperCopy(b));
        return a.find(b);
    }

    template <typename S>
    bool endsWithIn(const S &a, const S &b)
    {
        if (a.size() < b.size())
            return false;
        return compareIn(a.substr(a.size() - b.size()), b, true) == 0;
    }

    template <typename S>
    S &trimLeftIn(S &text)
    {
        const size_t first = text.find_first_not_of(static_cast<typename S::value_type>(' '));
        if (first == S::npos)
            text.clear();
        else
            text.erase(0, first);
        return text;
    }

    template <typename S>
    S &trimRightIn(S &text)
    {
        const size_t last = text.find_last_not_of(static_cast<typename S::value_type>(' '));
        if (last == S::npos)
            text.clear();
        else
            text.erase(last + 1);
        return text;
    }

    int clipToInt(long long v)
    {
        if (v > INT_MAX)
            return INT_MAX;
        if (v < INT_MIN)
            return INT_MIN;
        return static_cast<int>(v);
    }

    void appendUtf8(std::string &out, uint32_t cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // Wide text to UTF-8. A surrogate pair (UTF-16 held in a wide string) is joined;
    // anything that is no code point becomes `bad`.
    std::string encodeUtf8(const std::wstring &text, const char *bad)
    {
        std::string out;
        out.reserve(text.size());
        for (size_t i = 0; i < text.size(); ++i) {
            uint32_t cp = static_cast<uint32_t>(text[i]);
            if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
                const uint32_t lo = static_cast<uint32_t>(text[i + 1]);
                if (lo >= 0xDC00 && lo <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    ++i;
                }
            }
            if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
                out += bad;
            else
                appendUtf8(out, cp);
        }
        return out;
    }

    // UTF-8 to wide; each ill-formed subsequence becomes one U+FFFD. `valid`, when given,
    // tells whether there was none.
    std::wstring decodeUtf8(const std::string &text, bool *valid = nullptr)
    {
        if (valid)
            *valid = true;
        std::wstring out;
        out.reserve(text.size());
        const size_t n = text.size();
        size_t i = 0;
        while (i < n) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (c < 0x80) {
                out += static_cast<wchar_t>(c);
                ++i;
                continue;
            }
            int extra;
            uint32_t cp;
            unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
            if (c >= 0xC2 && c <= 0xDF) {
                extra = 1;
                cp = c & 0x1F;
            } else if (c >= 0xE0 && c <= 0xEF) {
                extra = 2;
                cp = c & 0x0F;
                if (c == 0xE0)
                    lo = 0xA0;
                else if (c == 0xED)
                    hi = 0x9F;
            } else if (c >= 0xF0 && c <= 0xF4) {
                extra = 3;
                cp = c & 0x07;
                if (c == 0xF0)
                    lo = 0x90;
                else if (c == 0xF4)
                    hi = 0x8F;
            } else {
                out += REPLACEMENT;
                if (valid)
                    *valid = false;
                ++i;
                continue;
            }
            size_t j = i + 1;
            bool good = true;
            for (int k = 0; k < extra; ++k, ++j) {
                if (j >= n) {
                    good = false;
                    break;
                }
                const unsigned char cc = static_cast<unsigned char>(text[j]);
                const unsigned char minc = k == 0 ? lo : 0x80;
                const unsigned char maxc = k == 0 ? hi : 0xBF;
                if (cc < minc || cc > maxc) {
                    good = false;
                    break;
                }
                cp = (cp << 6) | (cc & 0x3F);
            }
            if (good) {
                out += static_cast<wchar_t>(cp);
            } else {
                out += REPLACEMENT;
                if (valid)
                    *valid = false;
            }
            i = j;
        }
        return out;
    }

    // Wide format in the Windows sense: "%s"/"%c" take wide arguments, "%hs"/"%hc"/"%S"/"%C"
    // narrow ones. glibc reads an unqualified "%s" as narrow, so qualify every conversion.
    std::wstring translateWideFormat(const wchar_t *fmt)
    {
        std::wstring out;
        const wchar_t *p = fmt;
        while (*p) {
            if (*p != L'%') {
                out += *p++;
                continue;
            }
            out += *p++;
            if (*p == L'%') {
                out += *p++;
                continue;
            }
            // Argument position, flags, width, precision.
            while (*p && std::wcschr(L"0123456789$-+ #'*.I", *p))
                out += *p++;
            // Length modifiers.
            std::wstring length;
            while (*p && std::wcschr(L"hlLqjzZt", *p))
                length += *p++;
            const wchar_t conv = *p;
            if (!conv) {
                out += length;
                break;
            }
            ++p;
            if (conv == L's' || conv == L'c') {
                if (length != L"h")
                    out += L'l'; // wide unless asked for narrow
                out += conv;
            } else if (conv == L'S' || conv == L'C') {
                out += static_cast<wchar_t>(conv == L'S' ? L's' : L'c'); // narrow
            } else {
                out += length;
                out += conv;
            }
        }
        return out;
    }

    // Decimal text of a number in either width: integers in full, floating point as "%f".
    template <typename S, typename T>
    S numberText(T value)
    {
        std::string text;
        if constexpr (std::is_floating_point<T>::value) {
            text = CStringHelp::format("%f", static_cast<double>(value));
        } else {
            char buf[32];
            if constexpr (std::is_signed<T>::value)
                std::snprintf(buf, sizeof(buf), "%lld", static_cast<long long>(value));
            else
                std::snprintf(buf, sizeof(buf), "%llu", static_cast<unsigned long long>(value));
            text = buf;
        }
        return S(text.begin(), text.end());
    }
}

// ---- formatting ----

std::string CStringHelp::format(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string out = formatV(fmt, args);
    va_end(args);
    return out;
}

std::wstring CStringHelp::format(const wchar_t *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::wstring out = formatV(fmt, args);
    va_end(args);
    return out;
}

std::string CStringHelp::formatV(const char *fmt, va_list args)
{
    if (!fmt || !*fmt)
        return std::string();
    TextLocaleScope scope;
    va_list counting;
    va_copy(counting, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, counting);
    va_end(counting);
    if (length < 0)
        return std::string(fmt); // an argument that can't be encoded: keep the format text
    std::string out(static_cast<size_t>(length) + 1, '\0');
    va_list writing;
    va_copy(writing, args);
    std::vsnprintf(&out[0], out.size(), fmt, writing);
    va_end(writing);
    out.resize(static_cast<size_t>(length));
    return out;
}

std::wstring CStringHelp::formatV(const wchar_t *fmt, va_list args)
{
    if (!fmt || !*fmt)
        return std::wstring();
    const std::wstring translated = translateWideFormat(fmt);
    TextLocaleScope scope;
    // vswprintf can't tell "too small" from a bad argument; a memory stream sizes itself.
    wchar_t *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_wmemstream(&buffer, &size);
    if (!stream)
        return std::wstring(fmt);
    va_list pass;
    va_copy(pass, args);
    const int length = std::vfwprintf(stream, translated.c_str(), pass);
    va_end(pass);
    std::fclose(stream);
    std::wstring out = length >= 0 ? std::wstring(buffer, size) : std::wstring(fmt);
    std::free(buffer);
    return out;
}

// ---- code pages ----

std::wstring CStringHelp::ansiToUnicode(const std::string &text)
{
    return text.empty() ? std::wstring() : decodeUtf8(text);
}

std::string CStringHelp::unicodeToAnsi(const std::wstring &text)
{
    return text.empty() ? std::string() : encodeUtf8(text, "?");
}

std::string CStringHelp::unicodeToUtf8(const std::wstring &text)
{
    return text.empty() ? std::string() : encodeUtf8(text, "\xEF\xBF\xBD");
}

std::wstring CStringHelp::utf8ToUnicode(const std::string &text)
{
    return text.empty() ? std::wstring() : decodeUtf8(text);
}

std::wstring CStringHelp::utf8ToUnicode(const std::string &text, bool *valid)
{
    return decodeUtf8(text, valid);
}

std::string CStringHelp::ansiToUtf8(const std::string &text)
{
    return unicodeToUtf8(ansiToUnicode(text));
}

std::string CStringHelp::utf8ToAnsi(const std::string &text)
{
    return unicodeToAnsi(utf8ToUnicode(text));
}

std::u16string CStringHelp::unicodeToUtf16(const std::wstring &text)
{
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const uint32_t cp = static_cast<uint32_t>(text[i]);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
            const uint32_t lo = static_cast<uint32_t>(text[i + 1]);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                // Already a pair (UTF-16 held in a wide string).
                out += static_cast<char16_t>(cp);
                out += static_cast<char16_t>(lo);
                ++i;
                continue;
            }
        }
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            out += static_cast<char16_t>(REPLACEMENT);
        } else if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::wstring CStringHelp::utf16ToUnicode(const std::u16string &text)
{
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const uint32_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            out += static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (uint32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            out += REPLACEMENT;
        } else {
            out += static_cast<wchar_t>(u);
        }
    }
    return out;
}

// ---- replace, compare, search ----

void CStringHelp::replaceAll(std::string &text, const std::string &what, const std::string &with)
{
    replaceAllIn(text, what, with);
}

void CStringHelp::replaceAll(std::wstring &text, const std::wstring &what, const std::wstring &with)
{
    replaceAllIn(text, what, with);
}

int CStringHelp::compare(const std::string &a, const std::string &b, bool ignoreCase)
{
    return compareIn(a, b, ignoreCase);
}

int CStringHelp::compare(const std::wstring &a, const std::wstring &b, bool ignoreCase)
{
    return compareIn(a, b, ignoreCase);
}

int CStringHelp::compareN(const std::string &a, const std::string &b, size_t n, bool ignoreCase)
{
    return compareNIn(a, b, n, ignoreCase);
}

int CStringHelp::compareN(const std::wstring &a, const std::wstring &b, size_t n, bool ignoreCase)
{
    return compareNIn(a, b, n, ignoreCase);
}

size_t CStringHelp::find(const std::string &a, const std::string &b, bool ignoreCase)
{
    return findIn(a, b, ignoreCase);
}

size_t CStringHelp::find(const std::wstring &a, const std::wstring &b, bool ignoreCase)
{
    return findIn(a, b, ignoreCase);
}

bool CStringHelp::endsWith(const std::string &a, const std::string &b)
{
    return endsWithIn(a, b);
}

bool CStringHelp::endsWith(const std::wstring &a, const std::wstring &b)
{
    return endsWithIn(a, b);
}

// ---- base64 and URL ----

std::string CStringHelp::base64Encode(const std::string &bytes)
{
    return base64Encode(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

std::string CStringHelp::base64Encode(const unsigned char *bytes, size_t length)
{
    std::string out;
    if (!bytes || !length)
        return out;
    out.reserve((length + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const uint32_t v = (uint32_t(bytes[i]) << 16) | (uint32_t(bytes[i + 1]) << 8) | bytes[i + 2];
        out += BASE64_ALPHABET[(v >> 18) & 0x3F];
        out += BASE64_ALPHABET[(v >> 12) & 0x3F];
        out += BASE64_ALPHABET[(v >> 6) & 0x3F];
        out += BASE64_ALPHABET[v & 0x3F];
    }
    const size_t rest = length - i;
    if (rest) {
        uint32_t v = uint32_t(bytes[i]) << 16;
        if (rest == 2)
            v |= uint32_t(bytes[i + 1]) << 8;
        out += BASE64_ALPHABET[(v >> 18) & 0x3F];
        out += BASE64_ALPHABET[(v >> 12) & 0x3F];
        out += rest == 2 ? BASE64_ALPHABET[(v >> 6) & 0x3F] : '=';
        out += '=';
    }
    return out;
}

std::string CStringHelp::base64Decode(const std::string &text)
{
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    uint32_t group = 0;
    int count = 0;
    for (const char ch : text) {
        if (ch == '=' || !isBase64Char(ch))
            break;
        group = (group << 6) | static_cast<uint32_t>(base64Value(static_cast<unsigned char>(ch)));
        if (++count == 4) {
            out += static_cast<char>((group >> 16) & 0xFF);
            out += static_cast<char>((group >> 8) & 0xFF);
            out += static_cast<char>(group & 0xFF);
            group = 0;
            count = 0;
        }
    }
    if (count == 2) {
        out += static_cast<char>((group >> 4) & 0xFF);
    } else if (count == 3) {
        out += static_cast<char>((group >> 10) & 0xFF);
        out += static_cast<char>((group >> 2) & 0xFF);
    }
    return out;
}

bool CStringHelp::isBase64Char(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return isAsciiAlnum(u) || u == '+' || u == '/';
}

std::string CStringHelp::urlEncode(const std::string &text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    const size_t n = text.size();
    for (size_t i = 0; i < n && text[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            // An existing escape is kept as it is; a "%" without two characters after it
            // is no escape and gets one.
            if (i + 2 < n && text[i + 1] != '\0' && text[i + 2] != '\0') {
                out.append(text, i, 3);
                i += 2;
            } else {
                out += "%25";
            }
        } else if (isAsciiAlnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out;
}

std::string CStringHelp::urlDecode(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < n && hexValue(static_cast<unsigned char>(text[i + 1])) >= 0
            && hexValue(static_cast<unsigned char>(text[i + 2])) >= 0) {
            out += static_cast<char>(hexValue(static_cast<unsigned char>(text[i + 1])) * 16
                                     + hexValue(static_cast<unsigned char>(text[i + 2])));
            i += 2;
        } else if (c == '+') {
            out += ' ';
        } else {
            out += c; // includes a "%" that starts no valid escape
        }
    }
    return out;
}

// ---- numbers ----

std::string CStringHelp::toString(int8_t value)
{
    return numberText<std::string>(value);
}

std::string CStringHelp::toString(int32_t value)
{
    return numberText<std::string>(value);
}

std::string CStringHelp::toString(uint32_t value)
{
    return numberText<std::string>(value);
}

std::string CStringHelp::toString(long value)
{
    return numberText<std::string>(value);
}

std::string CStringHelp::toString(unsigned long value)
{
    return numberText<std::string>(value);
}

std::string CStringHelp::toString(long long value)
{
    return numberText<std::string>(value);
}

std::string CStringHelp::toString(unsigned long long value)
{
    return numberText<std::string>(value);
}

std::string CStringHelp::toString(float value)
{
    return numberText<std::string>(value);
}

std::string CStringHelp::toString(double value)
{
    return numberText<std::string>(value);
}

std::string CStringHelp::toString(const char *text)
{
    return text ? std::string(text) : std::string();
}

std::wstring CStringHelp::toWString(int8_t value)
{
    return numberText<std::wstring>(value);
}

std::wstring CStringHelp::toWString(int32_t value)
{
    return numberText<std::wstring>(value);
}

std::wstring CStringHelp::toWString(uint32_t value)
{
    return numberText<std::wstring>(value);
}

std::wstring CStringHelp::toWString(long value)
{
    return numberText<std::wstring>(value);
}

std::wstring CStringHelp::toWString(unsigned long value)
{
    return numberText<std::wstring>(value);
}

std::wstring CStringHelp::toWString(long long value)
{
    return numberText<std::wstring>(value);
}

std::wstring CStringHelp::toWString(unsigned long long value)
{
    return numberText<std::wstring>(value);
}

std::wstring CStringHelp::toWString(float value)
{
    return numberText<std::wstring>(value);
}

std::wstring CStringHelp::toWString(double value)
{
    return numberText<std::wstring>(value);
}

std::wstring CStringHelp::toWString(const wchar_t *text)
{
    return text ? std::wstring(text) : std::wstring();
}

int CStringHelp::toInt(const std::string &text)
{
    return clipToInt(std::strtoll(text.c_str(), nullptr, 10));
}

int CStringHelp::toInt(const std::wstring &text)
{
    return clipToInt(std::wcstoll(text.c_str(), nullptr, 10));
}

int64_t CStringHelp::toInt64(const std::string &text)
{
    return static_cast<int64_t>(std::stoll(text));
}

int64_t CStringHelp::toInt64(const std::wstring &text)
{
    return static_cast<int64_t>(std::wcstoll(text.c_str(), nullptr, 10));
}

float CStringHelp::toFloat(const std::string &text)
{
    return static_cast<float>(strtod_l(text.c_str(), nullptr, textLocale()));
}

float CStringHelp::toFloat(const std::wstring &text)
{
    return static_cast<float>(wcstod_l(text.c_str(), nullptr, textLocale()));
}

// ---- case, trim, hash ----

std::string CStringHelp::toLower(const std::string &text)
{
    return lowerCopy(text);
}

std::string CStringHelp::toUpper(const std::string &text)
{
    return upperCopy(text);
}

std::wstring CStringHelp::toLower(const std::wstring &text)
{
    return lowerCopy(text);
}

std::wstring CStringHelp::toUpper(const std::wstring &text)
{
    return upperCopy(text);
}

std::string &CStringHelp::trimLeft(std::string &text)
{
    return trimLeftIn(text);
}

std::string &CStringHelp::trimRight(std::string &text)
{
    return trimRightIn(text);
}

std::string &CStringHelp::trim(std::string &text)
{
    return trimLeftIn(trimRightIn(text));
}

std::wstring &CStringHelp::trimLeft(std::wstring &text)
{
    return trimLeftIn(text);
}

std::wstring &CStringHelp::trimRight(std::wstring &text)
{
    return trimRightIn(text);
}

std::wstring &CStringHelp::trim(std::wstring &text)
{
    return trimLeftIn(trimRightIn(text));
}

int32_t CStringHelp::hash(const std::string &text)
{
    uint32_t h = 0;
    for (const char c : text)
        h = h * 5u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
    return static_cast<int32_t>(h);
}

// ---- AES text cipher and digests ----

namespace
{
    void makeKeyBlock(const std::string &key, unsigned char block[32])
    {
        for (int i = 0; i < 32; ++i)
            block[i] = '0';
        for (size_t i = 0; i < key.size() && i < 32 && key[i] != '\0'; ++i)
            block[i] = static_cast<unsigned char>(key[i]);
    }

    // Deciphers whole blocks; false when the length is not a positive multiple of 16.
    bool decipher(const std::string &text, const std::string &key, std::string &plain)
    {
        plain = CStringHelp::base64Decode(text);
        if (plain.size() % 16 != 0)
            return false;
        if (plain.empty())
            return true;
        unsigned char keyBlock[32];
        makeKeyBlock(key, keyBlock);
        CRijndael aes;
        aes.setKey(keyBlock, keyBlock, 32, 16);
        unsigned char *data = reinterpret_cast<unsigned char *>(&plain[0]);
        aes.decrypt(data, data, plain.size(), CRijndael::ECB);
        return true;
    }

    // Removes padding as the last byte says; true when the padding was sound.
    bool unpad(std::string &plain)
    {
        if (plain.empty())
            return false;
        const int p = static_cast<int8_t>(plain.back());
        if (p <= 0 || static_cast<size_t>(p) > plain.size())
            return false;
        bool sound = p <= 16;
        for (size_t i = plain.size() - static_cast<size_t>(p); sound && i < plain.size(); ++i)
            sound = static_cast<unsigned char>(plain[i]) == static_cast<unsigned char>(p);
        plain.resize(plain.size() - static_cast<size_t>(p));
        return sound;
    }
}

std::string CStringHelp::aesEncrypt(const std::string &text, const std::string &key)
{
    const size_t n = text.size();
    const size_t p = 16 - (n % 16);
    std::string padded(text);
    padded.append(p, static_cast<char>(p));

    unsigned char keyBlock[32];
    makeKeyBlock(key, keyBlock);
    CRijndael aes;
    aes.setKey(keyBlock, keyBlock, 32, 16);
    unsigned char *data = reinterpret_cast<unsigned char *>(&padded[0]);
    aes.encrypt(data, data, padded.size(), CRijndael::ECB);
    return base64Encode(padded);
}

std::string CStringHelp::aesDecrypt(const std::string &text, const std::string &key)
{
    std::string plain;
    if (!decipher(text, key, plain))
        throw UException("sencode.length() % 16 == 0", __FILE__, AES_LENGTH_CHECK_LINE);
    unpad(plain);
    return plain;
}

std::string CStringHelp::aesDecrypt(const std::string &text, const std::string &key, bool *ok)
{
    std::string plain;
    bool good = decipher(text, key, plain);
    if (!good)
        plain.clear();
    else
        good = unpad(plain);
    if (ok)
        *ok = good;
    return plain;
}

std::string CStringHelp::md5(const std::string &text)
{
    return MD5(text).hexdigest();
}

std::string CStringHelp::md5Variant(const std::string &text)
{
    return MD5::mixedHexDigest(text.data(), text.size());
}
