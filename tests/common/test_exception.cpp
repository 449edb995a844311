#include <string>

#include <QString>

#include <gtest/gtest.h>

#include "codecvt_gbk.h"
#include "uexception.h"

namespace
{
    struct DescribeCase
    {
        const char *expression;
        std::wstring message;
        const char *file;
        int line;
        std::wstring expected;
    };

    void PrintTo(const DescribeCase &c, std::ostream *os)
    {
        *os << c.expression << "@" << c.line;
    }

    class DescribeTest : public ::testing::TestWithParam<DescribeCase>
    {
    };

    TEST_P(DescribeTest, BuildsTheLinesInOrder)
    {
        const DescribeCase &c = GetParam();
        const UException e(c.expression, c.message, c.file, c.line);
        EXPECT_EQ(e.describe(), c.expected);
        EXPECT_STREQ(e.what(), "Unknown exception");
    }

    INSTANTIATE_TEST_SUITE_P(Cases, DescribeTest, ::testing::Values(
        DescribeCase { "bRet", L"", "a.cpp", 38, L"exception\r\nfile: a.cpp(38)\r\nexpress: bRet\r\n" },
        DescribeCase { "bRet", L"x", "a.cpp", 38, L"exception\r\nfile: a.cpp(38)\r\nexpress: bRet\r\nmessage: x\r\n" },
        DescribeCase { "sencode.length() % 16 == 0", L"", "cstringhelp.cpp", 408,
                       L"exception\r\nfile: cstringhelp.cpp(408)\r\nexpress: sencode.length() % 16 == 0\r\n" },
        DescribeCase { "", L"任务失败", "/src/任务.cpp", 1,
                       L"exception\r\nfile: /src/任务.cpp(1)\r\nexpress: \r\nmessage: 任务失败\r\n" }));

    // Narrow arguments: UTF-8 first (the compiler's file names here), GBK otherwise, and a
    // replacement character, never an exception, for bytes that are neither.
    struct NarrowCase
    {
        const char *name;
        std::string bytes;
        std::wstring expected;
    };

    void PrintTo(const NarrowCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    class NarrowTextTest : public ::testing::TestWithParam<NarrowCase>
    {
    };

    TEST_P(NarrowTextTest, DecodesWithoutThrowing)
    {
        const NarrowCase &c = GetParam();
        std::wstring file;
        std::wstring expression;
        ASSERT_NO_THROW({
            const UException e(c.bytes.c_str(), c.bytes.c_str(), 5);
            file = e.file();
            expression = e.expression();
        });
        EXPECT_EQ(file, c.expected);
        EXPECT_EQ(expression, c.expected);
    }

    INSTANTIATE_TEST_SUITE_P(Cases, NarrowTextTest, ::testing::Values(
        NarrowCase { "ascii", "a.cpp", L"a.cpp" },
        NarrowCase { "utf8", "D:/\xE8\xA7\x86\xE9\xA2\x91/a.cpp", L"D:/视频/a.cpp" },
        NarrowCase { "gbk", "D:/\xCA\xD3\xC6\xB5/a.cpp", L"D:/视频/a.cpp" },
        NarrowCase { "gbkCutOff", "a\xCA", L"a\xFFFD" },
        NarrowCase { "invalid", "\xFF\xFF" "b", L"\xFFFD\xFFFD" L"b" },
        NarrowCase { "empty", "", L"" }),
        [](const ::testing::TestParamInfo<NarrowCase> &info) { return std::string(info.param.name); });

    TEST(UExceptionTest, NullArgumentsGiveEmptyTexts)
    {
        ASSERT_NO_THROW({
            const UException e(nullptr, nullptr, 0);
            EXPECT_TRUE(e.file().empty());
            EXPECT_TRUE(e.expression().empty());
        });
    }

    TEST(UExceptionTest, MacrosCarryConditionMessageAndLine)
    {
        const int value = 3;
        int line = 0;
        try {
            line = __LINE__ + 1;
            U_ASSERT(value == 4);
            FAIL() << "no throw";
        } catch (const UException &e) {
            EXPECT_EQ(e.expression(), L"value == 4");
            EXPECT_TRUE(e.message().empty());
            EXPECT_EQ(e.line(), line);
            EXPECT_NE(e.file().find(L"test_exception.cpp"), std::wstring::npos);
        }

        try {
            U_ASSERT_MSG(value == 4, QStringLiteral("视频 %1 不存在").arg(value));
            FAIL() << "no throw";
        } catch (const UException &e) {
            EXPECT_EQ(e.message(), L"视频 3 不存在");
            EXPECT_EQ(e.qMessage(), QStringLiteral("视频 3 不存在"));
        }

        try {
            U_THROW(L"网络错误");
        } catch (const std::exception &e) {
            // Caught through the base as well, as every boundary does.
            const auto *u = dynamic_cast<const UException *>(&e);
            ASSERT_NE(u, nullptr);
            EXPECT_EQ(u->message(), L"网络错误");
        }

        EXPECT_NO_THROW(U_ASSERT(value == 3));
    }

    TEST(CodecvtGbkTest, DecodesMixedGbkText)
    {
        // "任务" and an ASCII tail in GBK.
        EXPECT_EQ(codecvt_gbk::fromBytes("\xC8\xCE\xCE\xF1-1"), L"任务-1");
        // Text that is valid UTF-8 and valid GBK at once is read as UTF-8.
        EXPECT_EQ(codecvt_gbk::fromUtf8OrGbk("\xE4\xBB\xBB"), L"任");
    }
}
