// Text helpers: formatting in both widths, code pages, searching, base64, URL escapes,
// numbers, case, trimming and the small hash.

#include <clocale>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUuid>
#include <QString>

#include <gtest/gtest.h>

#include "cstringhelp.h"
#include "testsupport.h"

namespace
{
    // A German locale (decimal comma) built with localedef once per build tree: each builder
    // writes a folder of its own and renames it into place, so parallel tests never see half of
    // one. Empty when it cannot be built.
    QString commaLocaleFolder()
    {
        const QString target = testsupport::cacheDir() + QStringLiteral("locale");
        if (QFileInfo::exists(target + QStringLiteral("/de_DE.UTF-8")))
            return target;
        const QString part = target + QStringLiteral(".") + QUuid::createUuid().toString(QUuid::Id128);
        QDir().mkpath(part);
        QProcess def;
        def.start("localedef", {"-i", "de_DE", "-f", "UTF-8", part + QStringLiteral("/de_DE.UTF-8")});
        const bool built = def.waitForFinished(30000) && def.exitCode() == 0;
        if (!built || !QDir().rename(part, target))
            QDir(part).removeRecursively();
        return QFileInfo::exists(target + QStringLiteral("/de_DE.UTF-8")) ? target : QString();
    }

    // Switches the process to the German locale, the way a Qt application picks up the user's
    // locale. Restores "C" when done.
    class CommaLocale
    {
    public:
        CommaLocale()
        {
            const QString dir = commaLocaleFolder();
            if (dir.isEmpty())
                return;
            setenv("LOCPATH", dir.toLocal8Bit().constData(), 1);
            m_active = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
        }
        ~CommaLocale()
        {
            std::setlocale(LC_ALL, "C");
            unsetenv("LOCPATH");
        }
        bool active() const
        {
            return m_active;
        }

    private:
        bool m_active = false;
    };
}

// ---- formatting ----

// Runs a test body in the plain "C" locale, as a program without a Qt application does.
class StringFormat : public testing::Test
{
protected:
    void SetUp() override
    {
        m_saved = std::setlocale(LC_ALL, nullptr);
        std::setlocale(LC_ALL, "C");
    }
    void TearDown() override
    {
        std::setlocale(LC_ALL, m_saved.c_str());
    }

private:
    std::string m_saved;
};

TEST_F(StringFormat, NarrowIsCompleteAndExact)
{
    EXPECT_EQ(CStringHelp::format("%d:%s\n", 3, "ok"), std::string("3:ok\n"));
    EXPECT_EQ(CStringHelp::format("100%% %s", "done"), "100% done");
    EXPECT_EQ(CStringHelp::format("%s", ""), "");
    EXPECT_EQ(CStringHelp::format("%lld|%05.1f|%-3s|", 9007199254740993LL, 2.25, "x"), "9007199254740993|002.2|x  |");
    // A wide argument comes out as UTF-8 whatever the process locale.
    EXPECT_EQ(CStringHelp::format("%ls", L"课程\U0001F600"), "课程\xF0\x9F\x98\x80");

    const std::string big(70000, 'v');
    EXPECT_EQ(CStringHelp::format("[%s]", big.c_str()), "[" + big + "]");
}

// A wide format reads "%s" and "%c" as wide arguments; "%hs", "%S" and "%hc" as narrow.
TEST_F(StringFormat, WideConversions)
{
    struct Case
    {
        std::wstring got, want;
    };
    const Case cases[] = {
        {CStringHelp::format(L"%d:%s\n", 3, L"ok"), L"3:ok\n"},
        {CStringHelp::format(L"%s|%ls|%hs|%S", L"宽", L"宽", "narrow", "N"), L"宽|宽|narrow|N"},
        {CStringHelp::format(L"%c%lc%hc", L'é', L'中', 'x'), L"é中x"},
        {CStringHelp::format(L"[%5s][%-4s][%.2s]", L"ab", L"cd", L"efgh"), L"[   ab][cd  ][ef]"},
        {CStringHelp::format(L"%%s %d%%", 50), L"%s 50%"},
        {CStringHelp::format(L"%lld %u %x %.3f", -5LL, 7u, 255, 0.5), L"-5 7 ff 0.500"},
        {CStringHelp::format(L"%2$s-%1$s", L"a", L"b"), L"b-a"},
        {CStringHelp::format(L"%hs", "中文 in UTF-8"), L"中文 in UTF-8"},
        {CStringHelp::format(L"%s", L"\U0001F600"), L"\U0001F600"},
        {CStringHelp::format(L"trailing %"), L"trailing %"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.got, c.want) << CStringHelp::unicodeToUtf8(c.want);

    // A narrow argument that is no UTF-8 leaves the format text rather than a cut-off line.
    EXPECT_EQ(CStringHelp::format(L"x=%hs", "bad \xFF byte"), L"x=%hs");

    const std::wstring big(100000, L'字');
    EXPECT_EQ(CStringHelp::format(L"<%s>", big.c_str()), L"<" + big + L">");
}

TEST_F(StringFormat, NumbersIgnoreTheApplicationLocale)
{
    CommaLocale german;
    if (!german.active())
        GTEST_SKIP() << "localedef or the de_DE source is not available";
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");

    EXPECT_EQ(CStringHelp::format("%.1f", 1.5), "1.5");
    EXPECT_EQ(CStringHelp::format(L"%.1f", 1.5), L"1.5");
    EXPECT_EQ(CStringHelp::toString(1.5f), "1.500000");
    EXPECT_EQ(CStringHelp::toWString(0.25), L"0.250000");
    EXPECT_FLOAT_EQ(CStringHelp::toFloat(std::string("2.75")), 2.75f);
    EXPECT_FLOAT_EQ(CStringHelp::toFloat(std::wstring(L"2.75")), 2.75f);
    // Non-ASCII text still formats under a UTF-8 process locale.
    EXPECT_EQ(CStringHelp::format(L"%hs", "视频"), L"视频");
}

// ---- code pages ----

TEST(StringCodePage, Utf8AndWideRoundTrip)
{
    const std::string samples[] = {"", "plain ascii", "课程视频.mp4", "é ß Ж", "\xF0\x9F\x98\x80 emoji", "a\0b"};
    for (const std::string &s : samples) {
        const std::wstring wide = CStringHelp::utf8ToUnicode(s);
        EXPECT_EQ(wide, QString::fromUtf8(s.data(), static_cast<int>(s.size())).toStdWString()) << s;
        EXPECT_EQ(CStringHelp::unicodeToUtf8(wide), s);
        EXPECT_EQ(CStringHelp::ansiToUnicode(s), wide);
        EXPECT_EQ(CStringHelp::unicodeToAnsi(wide), s);
        EXPECT_EQ(CStringHelp::ansiToUtf8(s), s);
        EXPECT_EQ(CStringHelp::utf8ToAnsi(s), s);
        EXPECT_EQ(CStringHelp::utf16ToUnicode(CStringHelp::unicodeToUtf16(wide)), wide);
    }
    EXPECT_EQ(CStringHelp::unicodeToUtf16(L"\U0001F600"), u"\xD83D\xDE00");
    // UTF-16 pairs kept in a wide string are joined on the way to UTF-8.
    const std::wstring pair = {wchar_t(0xD83D), wchar_t(0xDE00)};
    EXPECT_EQ(CStringHelp::unicodeToUtf8(pair), "\xF0\x9F\x98\x80");
}

TEST(StringCodePage, InvalidInputGivesReplacementNotFailure)
{
    struct Case
    {
        std::string in;
        std::wstring out;
    };
    const Case cases[] = {
        {"a\xFF" "b", L"a\uFFFDb"},
        {"\xC0\xAF", L"\uFFFD\uFFFD"},           // overlong "/"
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"}, // encoded surrogate
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"}, // above U+10FFFF
        {"ok\xE4\xB8", L"ok\uFFFD"},             // cut off at the end
        {"\xE4\xB8" "x", L"\uFFFDx"},
        {"\xD6\xD0\xCE\xC4", L"\uFFFD\uFFFD\uFFFD\uFFFD"}, // GBK bytes are no UTF-8
    };
    for (const Case &c : cases) {
        EXPECT_EQ(CStringHelp::utf8ToUnicode(c.in), c.out) << QByteArray::fromStdString(c.in).toHex().toStdString();
        EXPECT_EQ(CStringHelp::ansiToUnicode(c.in), c.out);
    }

    const std::wstring lone = {L'a', wchar_t(0xDC00), L'b', wchar_t(0x110000)};
    EXPECT_EQ(CStringHelp::unicodeToAnsi(lone), "a?b?");
    EXPECT_EQ(CStringHelp::unicodeToUtf8(lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    EXPECT_EQ(CStringHelp::unicodeToUtf16(lone), u"a\xFFFD" u"b\xFFFD");
    EXPECT_EQ(CStringHelp::utf16ToUnicode(u"\xD800x"), L"\uFFFDx");
}

// ---- replace, compare, search ----

TEST(StringSearch, ReplaceAll)
{
    struct Case
    {
        std::string text, what, with, want;
    };
    const Case cases[] = {
        {"aXa", "a", "aa", "aaXaa"}, // inserted text is not searched again
        {"abc", "", "zz", "abc"},    // empty pattern: unchanged, and it ends
        {"aaaa", "aa", "b", "bb"},
        {"aaa", "a", "", ""},
        {"path/to/file", "/", "\\/", "path\\/to\\/file"},
        {"no match", "x", "y", "no match"},
        {"", "a", "b", ""},
    };
    for (Case c : cases) {
        CStringHelp::replaceAll(c.text, c.what, c.with);
        EXPECT_EQ(c.text, c.want) << c.what << " -> " << c.with;
    }
    std::wstring w = L"视a频a";
    CStringHelp::replaceAll(w, L"a", L"aa");
    EXPECT_EQ(w, L"视aa频aa");
    std::wstring unchanged = L"abc";
    CStringHelp::replaceAll(unchanged, L"", L"x");
    EXPECT_EQ(unchanged, L"abc");
}

TEST(StringSearch, CompareFindEndsWith)
{
    auto sign = [](int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); };
    auto latin1 = [](const std::string &s) {
        std::wstring w;
        for (const char c : s)
            w += static_cast<wchar_t>(static_cast<unsigned char>(c));
        return w;
    };
    struct Case
    {
        std::string a, b;
        bool ignoreCase;
        int want;
    };
    const Case cases[] = {
        {"abc", "abc", false, 0},  {"abc", "ABC", false, 1}, {"abc", "ABC", true, 0},
        {"abc", "abd", true, -1},  {"ab", "abc", false, -1}, {"", "", true, 0},
        {"\xE9t\xE9", "\xE9T\xE9", true, 0}, // bytes above 127 pass through the case folding
        {"\xE9", "\xC9", true, 1},           // and are not folded themselves
    };
    for (const Case &c : cases) {
        EXPECT_EQ(sign(CStringHelp::compare(c.a, c.b, c.ignoreCase)), c.want) << c.a << " " << c.b;
        // The same in wide text, each byte as the Latin-1 character (é, É, ...).
        EXPECT_EQ(sign(CStringHelp::compare(latin1(c.a), latin1(c.b), c.ignoreCase)), c.want) << c.a << " " << c.b;
    }

    EXPECT_EQ(CStringHelp::compareN("abcdef", "ABCxyz", 3, true), 0);
    EXPECT_NE(CStringHelp::compareN("abcdef", "ABCxyz", 3, false), 0);
    EXPECT_EQ(CStringHelp::compareN("abc", "abc", 4, false), -1);
    EXPECT_EQ(CStringHelp::compareN("abcd", "abc", 4, false), -1);
    EXPECT_EQ(CStringHelp::compareN(std::wstring(L"sorbin.exe"), std::wstring(L"SORBIN"), 6, true), 0);
    EXPECT_EQ(CStringHelp::compareN(std::wstring(L"so"), std::wstring(L"sorbin"), 6, true), -1);

    EXPECT_EQ(CStringHelp::find("Video.MP4", "mp4", true), 6u);
    EXPECT_EQ(CStringHelp::find("Video.MP4", "mp4", false), std::string::npos);
    EXPECT_EQ(CStringHelp::find(std::wstring(L"课程 Course"), std::wstring(L"COURSE"), true), 3u);
    EXPECT_EQ(CStringHelp::find(std::wstring(L"abc"), std::wstring(L"d"), true), std::wstring::npos);

    EXPECT_TRUE(CStringHelp::endsWith("video.MP4", ".mp4"));
    EXPECT_TRUE(CStringHelp::endsWith("x", ""));
    EXPECT_FALSE(CStringHelp::endsWith("mp4", ".mp4"));
    EXPECT_FALSE(CStringHelp::endsWith("video.mp3", ".mp4"));
    EXPECT_TRUE(CStringHelp::endsWith(std::wstring(L"课程.VEP"), std::wstring(L".vep")));
}

// ---- base64 ----

TEST(StringBase64, EncodeDecode)
{
    const std::pair<std::string, std::string> rfc4648[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto &c : rfc4648) {
        EXPECT_EQ(CStringHelp::base64Encode(c.first), c.second);
        EXPECT_EQ(CStringHelp::base64Decode(c.second), c.first);
    }

    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    for (size_t n = 0; n <= all.size(); n += 37) {
        const std::string part = all.substr(0, n);
        const std::string text = CStringHelp::base64Encode(part);
        EXPECT_EQ(QByteArray::fromStdString(text), QByteArray::fromStdString(part).toBase64()) << n;
        EXPECT_EQ(CStringHelp::base64Decode(text), part);
    }

    // Decoding stops at "=" or at the first character outside the alphabet.
    EXPECT_EQ(CStringHelp::base64Decode("QUJD=QUJD"), "ABC");
    EXPECT_EQ(CStringHelp::base64Decode("QUJD\nQUJD"), "ABC");
    EXPECT_EQ(CStringHelp::base64Decode("QUJD\xC3\xA9QUJD"), "ABC");
    EXPECT_EQ(CStringHelp::base64Decode("QQ"), "A");
    EXPECT_EQ(CStringHelp::base64Decode("QUI"), "AB");
    EXPECT_EQ(CStringHelp::base64Decode("QUJDR"), "ABC");
}

TEST(StringBase64, AlphabetTestCoversEveryByte)
{
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 256; ++i) {
        const char c = static_cast<char>(i);
        EXPECT_EQ(CStringHelp::isBase64Char(c), alphabet.find(c) != std::string::npos) << i;
    }
}

// ---- URL escapes ----

TEST(StringUrl, EncodeAndDecode)
{
    const std::pair<std::string, std::string> encode[] = {
        {"a b%2Fc", "a%20b%2Fc"},       // space escaped, existing escape kept
        {"AZaz09-_.~", "AZaz09-_.~"},
        {"课", "%E8%AF%BE"},
        {"k=v&x", "k%3Dv%26x"},
        {"50%", "50%25"},               // a "%" at the end is no escape
        {"5%A", "5%25A"},
        {"%zz", "%zz"},                 // kept as it came
        {std::string("ab\0cd", 5), "ab"}, // stops at NUL
    };
    for (const auto &c : encode)
        EXPECT_EQ(CStringHelp::urlEncode(c.first), c.second) << c.first;

    const std::pair<std::string, std::string> decode[] = {
        {"a%20b%2Fc", "a b/c"},
        {"a+b", "a b"},
        {"%E8%af%BE", "课"},
        {"50%", "50%"},
        {"5%A", "5%A"},
        {"%zz%4", "%zz%4"},
        {"%%41", "%A"},
    };
    for (const auto &c : decode)
        EXPECT_EQ(CStringHelp::urlDecode(c.first), c.second) << c.first;

    std::string all;
    for (int i = 1; i < 256; ++i)
        all += static_cast<char>(i);
    std::string noPercent = all;
    CStringHelp::replaceAll(noPercent, "%", "");
    CStringHelp::replaceAll(noPercent, "+", "");
    EXPECT_EQ(CStringHelp::urlDecode(CStringHelp::urlEncode(noPercent)), noPercent);
}

// ---- numbers, case, trimming, hash ----

// Each number overload gives the same text in both widths, at the ends of its range.
TEST(StringNumbers, NumberTextInBothWidths)
{
    const struct
    {
        std::string narrow;
        std::wstring wide;
        const char *expected;
    } cases[] = {
        {CStringHelp::toString(int8_t(-128)), CStringHelp::toWString(int8_t(-128)), "-128"},
        {CStringHelp::toString(int8_t(127)), CStringHelp::toWString(int8_t(127)), "127"},
        {CStringHelp::toString(INT32_MIN), CStringHelp::toWString(INT32_MIN), "-2147483648"},
        {CStringHelp::toString(UINT32_MAX), CStringHelp::toWString(UINT32_MAX), "4294967295"},
        {CStringHelp::toString(LONG_MIN), CStringHelp::toWString(LONG_MIN), "-9223372036854775808"},
        {CStringHelp::toString(ULONG_MAX), CStringHelp::toWString(ULONG_MAX), "18446744073709551615"},
        {CStringHelp::toString(LLONG_MAX), CStringHelp::toWString(LLONG_MAX), "9223372036854775807"},
        {CStringHelp::toString(ULLONG_MAX), CStringHelp::toWString(ULLONG_MAX), "18446744073709551615"},
        {CStringHelp::toString(-0.5f), CStringHelp::toWString(-0.5f), "-0.500000"},
        {CStringHelp::toString(1e20), CStringHelp::toWString(1e20), "100000000000000000000.000000"},
        {CStringHelp::toString(2.0 / 3.0), CStringHelp::toWString(2.0 / 3.0), "0.666667"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.narrow, c.expected);
        EXPECT_EQ(c.wide, std::wstring(c.expected, c.expected + std::strlen(c.expected))) << c.expected;
    }
}

TEST(StringNumbers, ToStringAndParse)
{
    EXPECT_EQ(CStringHelp::toString(int8_t(-128)), "-128");
    EXPECT_EQ(CStringHelp::toString(int32_t(-2147483647 - 1)), "-2147483648");
    EXPECT_EQ(CStringHelp::toString(int64_t(1717171717171717171)), "1717171717171717171");
    EXPECT_EQ(CStringHelp::toString(static_cast<long long>(-1)), "-1");
    EXPECT_EQ(CStringHelp::toString(uint64_t(18446744073709551615ull)), "18446744073709551615");
    EXPECT_EQ(CStringHelp::toString(1.5f), "1.500000");
    EXPECT_EQ(CStringHelp::toString("copy"), "copy");
    EXPECT_EQ(CStringHelp::toString(static_cast<const char *>(nullptr)), "");
    EXPECT_EQ(CStringHelp::toWString(42), L"42");
    EXPECT_EQ(CStringHelp::toWString(L"宽"), L"宽");

    struct Case
    {
        std::string text;
        int asInt;
    };
    const Case cases[] = {
        {"42", 42}, {"  -7x", -7}, {"abc", 0}, {"", 0}, {"+15", 15}, {"99999999999", INT_MAX}, {"-99999999999", INT_MIN},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(CStringHelp::toInt(c.text), c.asInt) << c.text;
        EXPECT_EQ(CStringHelp::toInt(std::wstring(c.text.begin(), c.text.end())), c.asInt) << c.text;
    }

    EXPECT_EQ(CStringHelp::toInt64(std::string("9007199254740993")), 9007199254740993LL);
    EXPECT_EQ(CStringHelp::toInt64(std::wstring(L"9007199254740993 ms")), 9007199254740993LL);
    EXPECT_EQ(CStringHelp::toInt64(std::wstring(L"none")), 0);
    EXPECT_THROW(CStringHelp::toInt64(std::string("none")), std::invalid_argument);
    EXPECT_THROW(CStringHelp::toInt64(std::string("99999999999999999999")), std::out_of_range);
    EXPECT_FLOAT_EQ(CStringHelp::toFloat(std::string("3.25s")), 3.25f);
    EXPECT_FLOAT_EQ(CStringHelp::toFloat(std::wstring(L"x")), 0.0f);
}

TEST(StringCase, AsciiOnlyAndTrimSpacesOnly)
{
    EXPECT_EQ(CStringHelp::toUpper("video.mp4 \xE9\xFF"), "VIDEO.MP4 \xE9\xFF");
    EXPECT_EQ(CStringHelp::toLower("VIDEO.MP4 \xC9"), "video.mp4 \xC9");
    EXPECT_EQ(CStringHelp::toUpper(std::wstring(L"abc é 课")), L"ABC é 课");
    EXPECT_EQ(CStringHelp::toLower(std::wstring(L"ABC É")), L"abc É");

    struct Case
    {
        std::string text, left, right, both;
    };
    const Case cases[] = {
        {"   ", "", "", ""},
        {"\t a ", "\t a ", "\t a", "\t a"},
        {"  a b  ", "a b  ", "  a b", "a b"},
        {"x\n ", "x\n ", "x\n", "x\n"},
        {"", "", "", ""},
    };
    for (const Case &c : cases) {
        std::string l = c.text, r = c.text, b = c.text;
        EXPECT_EQ(CStringHelp::trimLeft(l), c.left);
        EXPECT_EQ(CStringHelp::trimRight(r), c.right);
        EXPECT_EQ(CStringHelp::trim(b), c.both);
        EXPECT_EQ(b, c.both); // in place
        std::wstring wb(c.text.begin(), c.text.end());
        CStringHelp::trim(wb);
        EXPECT_EQ(wb, std::wstring(c.both.begin(), c.both.end()));
    }
}

TEST(StringHash, SignedBytesWrapping)
{
    const std::pair<std::string, int32_t> cases[] = {
        {"", 0},
        {"a", 97},
        {"ab", 583},
        {"\xFF", -1},
        {"\x80", -128},
        {"zzzzzzzzzzzzzzzz", -1813884832},       // wraps past 2^32
        {"\xE4\xB8\xAD\xE6\x96\x87.mp4", -90100913}, // "中文.mp4"
    };
    for (const auto &c : cases)
        EXPECT_EQ(CStringHelp::hash(c.first), c.second) << c.first;
}
