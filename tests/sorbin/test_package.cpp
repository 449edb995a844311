#include <csignal>
#include <cstring>

#include <sys/resource.h>
#include <unistd.h>

#include <QFile>

#include <gtest/gtest.h>

#include "cstringhelp.h"
#include "qvepfile.h"
#include "qwriteconfig.h"
#include "sorbintestutil.h"
#include "testsupport.h"

namespace
{
    const char kRecordKey[] = "47plrdk3)(&@!*5hwyqmxbt9z";

    QByteArray unmask(const std::string &masked)
    {
        QByteArray out(masked.data(), int(masked.size()));
        for (int i = 0; i < out.size(); ++i)
            out[i] = char(out[i] ^ kRecordKey[i % 25]);
        return out;
    }

    uint32_t le32(const QByteArray &b, int at)
    {
        return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16
            | uint32_t(uint8_t(b[at + 3])) << 24;
    }

    // What the program fills in: course id of 2 characters, a video key of 20 UTF-16 units
    // (one of them a character outside the BMP, which takes two).
    VepVideoRecord sampleRecord()
    {
        VepVideoRecord r;
        r.magic = 0x0133EFC0;
        r.number1 = 6;
        r.number2 = 2;
        r.courseId = L"中文";
        r.randNumber = -5;
        r.videoKey = L"1_12_3_课程\U0001D11E视频 01.vep";
        r.encryptType = 7;
        r.number8 = 2;
        r.width = 320;
        r.height = 240;
        r.duration = 3;
        return r;
    }
}

TEST(PackageRecord, LayoutAndRoundTrip)
{
    const VepVideoRecord in = sampleRecord();
    ASSERT_EQ(CStringHelp::unicodeToUtf16(in.videoKey).size(), 20u);
    QWriteConfig config;
    ASSERT_TRUE(config.writeRecord(in));
    const std::string masked = config.data();
    EXPECT_EQ(masked.size(), 225u);

    const QByteArray plain = unmask(masked);
    QByteArray marker("KZR_NEW", 8);
    marker.append(QByteArray(33, '\x01'));
    EXPECT_EQ(plain.left(41), marker);
    EXPECT_EQ(le32(plain, 41), 0x0133EFC0u);
    EXPECT_EQ(le32(plain, 45), 6u);
    EXPECT_EQ(le32(plain, 49), 2u);
    // The course id as a count of UTF-16 units and the units little-endian.
    EXPECT_EQ(le32(plain, 53), 2u);
    EXPECT_EQ(plain.mid(57, 4), QByteArray("\x2d\x4e\x87\x65", 4));
    EXPECT_EQ(int32_t(le32(plain, 61)), -5);
    // The closing five numbers.
    EXPECT_EQ(le32(plain, 225 - 20), 7u);
    EXPECT_EQ(le32(plain, 225 - 16), 2u);
    EXPECT_EQ(le32(plain, 225 - 12), 320u);
    EXPECT_EQ(le32(plain, 225 - 8), 240u);
    EXPECT_EQ(le32(plain, 225 - 4), 3u);

    VepVideoRecord out;
    ASSERT_TRUE(QWriteConfig::parse(masked, out));
    EXPECT_EQ(out.magic, in.magic);
    EXPECT_EQ(out.number1, 6);
    EXPECT_EQ(out.number2, 2);
    EXPECT_EQ(out.courseId, in.courseId);
    EXPECT_EQ(out.randNumber, -5);
    EXPECT_EQ(out.videoKey, in.videoKey);
    EXPECT_TRUE(out.text1.empty() && out.text2.empty() && out.bytes.empty() && out.list.empty());
    for (const std::wstring &t : out.texts)
        EXPECT_TRUE(t.empty());
    EXPECT_EQ(out.encryptType, 7);
    EXPECT_EQ(out.number8, 2);
    EXPECT_EQ(out.width, 320);
    EXPECT_EQ(out.height, 240);
    EXPECT_EQ(out.duration, 3);

    // Every cut short of the whole record is refused.
    for (size_t n = 0; n < masked.size(); n += 7)
        EXPECT_FALSE(QWriteConfig::parse(masked.substr(0, n), out)) << n;
}

class PackageBlock : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir = testsupport::newTempDir();
        m_video = QByteArray(5000, 'v');
        m_output = m_dir + QStringLiteral("输出 file.vep.tmp");
        ASSERT_TRUE(testsupport::writeAll(m_output, m_video));
        QWriteConfig config;
        config.writeRecord(sampleRecord());
        m_record = config.data();
    }

    QString m_dir;
    QString m_output;
    QByteArray m_video;
    std::string m_record;
};

TEST_F(PackageBlock, AppendsHeaderIndexRecordAndTrailer)
{
    struct Case { const char *name; QByteArray index; bool haveIndex; };
    const Case cases[] = {
        {"no index file", QByteArray(), false},
        {"empty index", QByteArray(), true},
        {"index", QByteArray("{\"scheme\":\"cenc-aes-ctr\",\"tracks\":[1,2]}\n"), true},
    };
    for (const Case &c : cases)
    {
        ASSERT_TRUE(testsupport::writeAll(m_output, m_video));
        const QString index = m_dir + QStringLiteral("x.inx");
        QFile::remove(index);
        if (c.haveIndex)
        {
            ASSERT_TRUE(testsupport::writeAll(index, c.index));
        }
        QVepFile vep;
        ASSERT_TRUE(vep.write(m_output.toStdWString(), index.toStdWString(), m_record)) << c.name;

        sorbintest::Package p;
        ASSERT_TRUE(sorbintest::splitPackage(testsupport::readAll(m_output), p)) << c.name;
        EXPECT_EQ(p.video, m_video) << c.name;
        EXPECT_EQ(p.videoLength, uint64_t(m_video.size())) << c.name;
        EXPECT_EQ(p.record, QByteArray(m_record.data(), int(m_record.size()))) << c.name;
        const std::string decoded = CStringHelp::base64Decode(p.indexText.toStdString());
        EXPECT_EQ(CStringHelp::aesDecrypt(decoded, "vek*tmh517p^zrw3nQDoxuaKBMF620sJ"), c.index.toStdString()) << c.name;
        if (c.index.isEmpty())
        {
            EXPECT_EQ(p.indexLength, 32u) << c.name;
        }
    }
}

// A file under the index's name that is not ours (planted in the shared temp folder) or not a
// plain file never reaches the package.
TEST_F(PackageBlock, ForeignIndexIsNotPacked)
{
    const QString index = m_dir + QStringLiteral("x.inx");
    const QString planted = m_dir + QStringLiteral("planted.inx");
    ASSERT_TRUE(testsupport::writeAll(planted, QByteArray(100, 'p')));
    const auto packedIndexLength = [&]() -> uint32_t {
        if (!testsupport::writeAll(m_output, m_video))
            return 0;
        QVepFile vep;
        sorbintest::Package p;
        if (!vep.write(m_output.toStdWString(), index.toStdWString(), m_record)
            || !sorbintest::splitPackage(testsupport::readAll(m_output), p))
            return 0;
        return p.indexLength;
    };

    ASSERT_EQ(::symlink(QFile::encodeName(planted).constData(), QFile::encodeName(index).constData()), 0);
    EXPECT_EQ(packedIndexLength(), 32u) << "a symbolic link";

    if (::geteuid() == 0)
    {
        ASSERT_TRUE(QFile::remove(index));
        ASSERT_TRUE(QFile::rename(planted, index));
        ASSERT_EQ(::chown(QFile::encodeName(index).constData(), 65534, 65534), 0);
        EXPECT_EQ(packedIndexLength(), 32u) << "a file of another user";
    }
}

TEST_F(PackageBlock, FailureLeavesNoHalfBlock)
{
    // A missing output is an error, not an empty video with a block.
    QVepFile vep;
    const QString missing = m_dir + QStringLiteral("missing.vep.tmp");
    EXPECT_FALSE(vep.write(missing.toStdWString(), std::wstring(), m_record));
    EXPECT_FALSE(QFile::exists(missing));

    // A disk that fills up in the middle of the block: the output is cut back to the video.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = rlim_t(m_video.size() + 200);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool ok = vep.write(m_output.toStdWString(), std::wstring(), m_record);
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_FALSE(ok);
    EXPECT_EQ(testsupport::readAll(m_output), m_video);
}
