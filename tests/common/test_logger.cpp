#include <climits>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include "logger.h"
#include "testsupport.h"

namespace
{
    // Built before any logger exists, so destroyed after the process-wide one: its destructor
    // logs and touches the instance at exit, which must neither crash nor write anything.
    struct LateLogger
    {
        ~LateLogger()
        {
            LOG_ERROR(L"after the logger is gone %d", 1);
            sth::logger::instance()->push(std::make_shared<sth::LogInfo>());
            sth::logger::instance()->stop();
        }
    } g_lateLogger;

    QByteArray readFile(const std::string &path)
    {
        return testsupport::readAll(QString::fromStdString(path));
    }

    // The log file's lines as text; checks the byte-order mark on the way.
    QStringList logLines(const QByteArray &bytes)
    {
        EXPECT_GE(bytes.size(), 2);
        EXPECT_EQ(bytes.left(2), QByteArray("\xFF\xFE", 2));
        EXPECT_EQ(bytes.size() % 2, 0);
        const QString text = QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData() + 2),
                                                (bytes.size() - 2) / 2);
        EXPECT_TRUE(text.isEmpty() || text.endsWith(QStringLiteral("\r\n")));
        QStringList lines = text.split(QStringLiteral("\r\n"));
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

    class LoggerTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            m_dir = testsupport::newTempDir() + QStringLiteral("日志/");
            sth::setDebugEnabled(false);
        }

        std::wstring dir() const
        {
            return m_dir.toStdWString();
        }

        QString m_dir;
    };

    TEST_F(LoggerTest, WritesUtf16LinesWithCrLfAndSurrogatePairs)
    {
        sth::logger log;
        log.start(dir());
        LOG_INFO(L"not written: debug is off");
        sth::logger::write(1, "源/任务.cpp", 62, L"ready \U0001F600 %s", L"视频");
        sth::setDebugEnabled(true);
        sth::logger::write(7, "b.cpp", 8, L"odd level");
        LOG_INFO(L"now written");
        log.flush();

        const std::string path = log.filePath();
        ASSERT_FALSE(path.empty());
        EXPECT_TRUE(QRegularExpression(QStringLiteral("/\\d{4}-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d\\.log$"))
                        .match(QString::fromStdString(path)).hasMatch()) << path;
        EXPECT_TRUE(QString::fromStdString(path).startsWith(m_dir));

        const QByteArray bytes = readFile(path);
        // U+1F600 as the surrogate pair D83D DE00, little-endian.
        EXPECT_TRUE(bytes.contains(QByteArray("\x3D\xD8\x00\xDE", 4)));
        EXPECT_EQ(bytes.count(QByteArray("\xFF\xFE", 2)), 1);

        const QStringList lines = logLines(bytes);
        ASSERT_EQ(lines.size(), 3) << lines.join(QStringLiteral("|")).toStdString();
        const QString stamp = QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ");
        EXPECT_TRUE(QRegularExpression(stamp + QStringLiteral(" error::ready \U0001F600 视频 \\(源/任务\\.cpp:62\\)$"))
                        .match(lines[0]).hasMatch()) << lines[0].toStdString();
        EXPECT_TRUE(QRegularExpression(stamp + QStringLiteral(":odd level \\(b\\.cpp:8\\)$"))
                        .match(lines[1]).hasMatch()) << lines[1].toStdString();
        EXPECT_TRUE(QRegularExpression(stamp + QStringLiteral(" info::now written \\(.*test_logger\\.cpp:\\d+\\)$"))
                        .match(lines[2]).hasMatch()) << lines[2].toStdString();
    }

    TEST_F(LoggerTest, FourThreadsKeepEveryLineInOrder)
    {
        sth::setDebugEnabled(true);
        sth::logger log;
        log.start(dir());
        const int perThread = 2000;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t] {
                for (int n = 0; n < perThread; ++n)
                    LOG_DEBUG(L"t%d n%d", t, n);
            });
        }
        for (auto &thread : threads)
            thread.join();
        log.stop();

        const QStringList lines = logLines(readFile(log.filePath()));
        ASSERT_EQ(lines.size(), 4 * perThread);
        const QRegularExpression re(QStringLiteral(" debug::t(\\d) n(\\d+) \\("));
        int next[4] = { 0, 0, 0, 0 };
        for (const QString &line : lines) {
            const auto m = re.match(line);
            ASSERT_TRUE(m.hasMatch()) << line.toStdString();
            const int t = m.captured(1).toInt();
            ASSERT_EQ(m.captured(2).toInt(), next[t]) << "thread " << t << " out of order";
            ++next[t];
        }
        for (int t = 0; t < 4; ++t)
            EXPECT_EQ(next[t], perThread);
    }

    TEST_F(LoggerTest, OnlyRecordsBetweenStartAndStopReachTheFile)
    {
        sth::logger log;
        LOG_ERROR(L"before start");
        log.start(dir());
        for (int i = 0; i < 500; ++i)
            LOG_ERROR(L"queued %d", i);
        // stop() drains the queue before it returns.
        log.stop();
        LOG_ERROR(L"after stop");
        log.flush();

        const QStringList lines = logLines(readFile(log.filePath()));
        ASSERT_EQ(lines.size(), 500);
        EXPECT_TRUE(lines.first().contains(QStringLiteral("queued 0 (")));
        EXPECT_TRUE(lines.last().contains(QStringLiteral("queued 499 (")));
    }

    TEST_F(LoggerTest, SecondRunInTheSameFileAddsNoSecondMark)
    {
        // A run that starts within the second of the previous one appends to its file.
        std::string first;
        std::string second;
        for (int attempt = 0; attempt < 5 && (first.empty() || first != second); ++attempt) {
            QDir(m_dir).removeRecursively();
            {
                sth::logger log;
                log.start(dir());
                LOG_ERROR(L"run one");
                log.stop();
                first = log.filePath();
            }
            sth::logger log;
            log.start(dir());
            LOG_ERROR(L"run two");
            log.stop();
            second = log.filePath();
        }
        ASSERT_EQ(first, second) << "could not start two runs within one second";
        const QByteArray bytes = readFile(first);
        EXPECT_EQ(bytes.count(QByteArray("\xFF\xFE", 2)), 1);
        const QStringList lines = logLines(bytes);
        ASSERT_EQ(lines.size(), 2);
        EXPECT_TRUE(lines[1].contains(QStringLiteral("run two")));
    }

    // The log may hold paths and names: the folders it makes are 0700, its files 0600, and a
    // log folder left open to others is tightened.
    TEST_F(LoggerTest, FoldersAndFilesArePrivate)
    {
        auto modeOf = [](const QString &path) {
            struct stat st {};
            return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
        };
        const QString parent = m_dir.left(m_dir.size() - 1);
        const QString nested = m_dir + QStringLiteral("a/b/");
        for (int run = 0; run < 2; ++run) {
            ::umask(run == 0 ? 022 : 0);
            sth::logger log;
            log.start(nested.toStdWString());
            LOG_ERROR(L"private");
            log.stop();
            EXPECT_EQ(modeOf(parent), 0700);
            EXPECT_EQ(modeOf(m_dir + QStringLiteral("a")), 0700);
            EXPECT_EQ(modeOf(nested), 0700);
            ASSERT_FALSE(log.filePath().empty());
            EXPECT_EQ(modeOf(QString::fromStdString(log.filePath())), 0600);
            // Opened up by someone else: the next start tightens the folder and the file.
            ASSERT_EQ(::chmod(QFile::encodeName(nested).constData(), 0755), 0);
            ASSERT_EQ(::chmod(log.filePath().c_str(), 0644), 0);
        }
        ::umask(022);
    }

    TEST_F(LoggerTest, UnwritableFolderLosesRecordsQuietly)
    {
        // A file stands where the folder should be: nothing can be opened, nothing throws.
        const QString blocked = testsupport::newTempDir() + QStringLiteral("blocked");
        ASSERT_TRUE(testsupport::writeAll(blocked, "x"));
        sth::logger log;
        log.start((blocked + QStringLiteral("/")).toStdWString());
        LOG_ERROR(L"lost");
        log.stop();
        EXPECT_TRUE(log.filePath().empty());
        EXPECT_EQ(testsupport::readAll(blocked), QByteArray("x"));
    }

    TEST(LoggerExitTest, ProcessLoggerLeftRunningEndsCleanlyAtExit)
    {
        // The process-wide logger is made after g_lateLogger, so it is destroyed first: the
        // process must still end with 0 (checked by the test runner, not here).
        sth::logger::instance()->start((testsupport::newTempDir() + QStringLiteral("log/")).toStdWString());
        LOG_ERROR(L"still running at exit");
        EXPECT_TRUE(sth::logger::instance()->isRunning());
    }

    struct FormatCase
    {
        const char *name;
        std::wstring (*make)();
        std::wstring expected;
    };

    void PrintTo(const FormatCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    class LogFormatTest : public ::testing::TestWithParam<FormatCase>
    {
    };

    TEST_P(LogFormatTest, FormatsTypedArguments)
    {
        EXPECT_EQ(GetParam().make(), GetParam().expected);
    }

    INSTANTIATE_TEST_SUITE_P(Cases, LogFormatTest, ::testing::Values(
        // Without arguments the text stands as given: a "%" in a path is no conversion.
        FormatCase { "verbatim", [] { return sth::formatString(L"C:/100%s/%d%%"); }, L"C:/100%s/%d%%" },
        FormatCase { "pipeMessage", [] { return sth::formatString(L"%d:%s\n", 3, L"ok"); }, L"3:ok\n" },
        FormatCase { "narrowText", [] { return sth::formatString(L"[%s]", "中文"); }, L"[中文]" },
        FormatCase { "qstringAndWide", [] { return sth::formatString(L"%s/%ls", QStringLiteral("目录"), std::wstring(L"a.mp4")); }, L"目录/a.mp4" },
        FormatCase { "missingArgument", [] { return sth::formatString(L"%d of %d", 1); }, L"1 of %d" },
        FormatCase { "widthAndPrecision", [] { return sth::formatString(L"%5.2f|%-4d|%04x|%.2s", 3.14159, 7, 255, L"abc"); }, L" 3.14|7   |00ff|ab" },
        FormatCase { "int64", [] { return sth::formatString(L"%lld %llu", static_cast<long long>(-9000000000LL), 18000000000ULL); }, L"-9000000000 18000000000" },
        FormatCase { "byteArrayAndEnum", [] { return sth::formatString(L"%s=%d", QByteArray("键"), Qt::ISODate); }, L"键=1" },
        FormatCase { "mismatch", [] { return sth::formatString(L"%s %d", 42, L"x"); }, L"42 x" },
        FormatCase { "starWidth", [] { return sth::formatString(L"%*d", 4, 9); }, L"   9" },
        // Wild fields and numbers of the wrong kind are cut to range, never undefined.
        FormatCase { "hugeWidth", [] { const std::wstring s = sth::formatString(L"%99999999999999d|", 5);
                                       return s.substr(s.size() - 3) + L" " + std::to_wstring(s.size()); }, L" 5| 4097" },
        FormatCase { "minStarWidth", [] { const std::wstring s = sth::formatString(L"%*d|", INT_MIN, 5);
                                          return s.substr(0, 2) + L" " + std::to_wstring(s.size()); }, L"5  4097" },
        FormatCase { "realAsInteger", [] { return sth::formatString(L"%d %d %u", 1e300, std::nan(""), -2.5); }, L"9223372036854775807 0 0" },
        FormatCase { "noWriteThroughN", [] { int n = 0; return sth::formatString(L"a%nb", &n); }, L"ab" },
        FormatCase { "formatFromQString", [] { return sth::formatString(QStringLiteral("进度 %d%%"), 50); }, L"进度 50%" }),
        [](const ::testing::TestParamInfo<FormatCase> &info) { return std::string(info.param.name); });
}
