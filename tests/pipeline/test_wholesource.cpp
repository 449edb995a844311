// A source whose container promises more than the file holds (a copy or download cut short) is
// refused at the probe in every mode, with the real probe in front of the real sorbin and the
// real ffmpeg: a reason on the row, no output, no record. The whole files go through.
#include <chrono>
#include <future>

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "cglobal.h"
#include "pipelinehelpers.h"
#include "qdtavideo.h"
#include "qfilework.h"
#include "qframemodel.h"
#include "qmediacheck.h"
#include "qrecords.h"
#include "testsupport.h"

namespace
{
    QStringList args(std::initializer_list<const char *> list)
    {
        QStringList out;
        for (const char *a : list)
            out << QString::fromUtf8(a);
        return out;
    }

    const char *const kSixSeconds = "testsrc=size=320x240:rate=25:duration=6";
    const char *const kTone = "sine=frequency=440:duration=6";

    enum class Clip
    {
        IndexFront, // MP4, its index before the media data
        IndexEnd,   // MP4 as ffmpeg writes it, its index after the media data
        Avi,        // AVI, its index at the end
        Flv         // FLV, its length in the header, no index
    };

    QString clip(Clip kind)
    {
        switch (kind) {
        case Clip::IndexFront:
            return testsupport::makeClip(QStringLiteral("h264-aac-320x240-6s-faststart.mp4"),
                args({"-f", "lavfi", "-i", kSixSeconds, "-f", "lavfi", "-i", kTone, "-c:v", "libx264", "-preset", "ultrafast",
                      "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", "-movflags", "+faststart"}));
        case Clip::IndexEnd:
            return testsupport::makeClip(QStringLiteral("h264-aac-320x240-6s.mp4"),
                args({"-f", "lavfi", "-i", kSixSeconds, "-f", "lavfi", "-i", kTone, "-c:v", "libx264", "-preset", "ultrafast",
                      "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest"}));
        case Clip::Avi:
            return testsupport::makeClip(QStringLiteral("h264-mp3-320x240-6s.avi"),
                args({"-f", "lavfi", "-i", kSixSeconds, "-f", "lavfi", "-i", kTone, "-c:v", "libx264", "-preset", "ultrafast",
                      "-pix_fmt", "yuv420p", "-c:a", "libmp3lame", "-shortest"}));
        case Clip::Flv:
            return testsupport::makeClip(QStringLiteral("h264-aac-320x240-6s.flv"),
                args({"-f", "lavfi", "-i", kSixSeconds, "-f", "lavfi", "-i", kTone, "-c:v", "libx264", "-preset", "ultrafast",
                      "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest"}));
        }
        return QString();
    }

    // Where the file is cut: a share of its bytes, or (negative) just before its MP4 index.
    constexpr double kBeforeIndex = -1.0;

    QByteArray cut(const QByteArray &whole, double share)
    {
        if (share < 0.0) {
            const int moov = whole.lastIndexOf("moov");
            return moov >= 4 ? whole.left(moov - 4) : QByteArray();
        }
        return whole.left(static_cast<int>(whole.size() * share));
    }

    const char *const kNotWhole = "视频文件不完整：";
    // Without its index the probe finds no stream at all.
    const char *const kNoMedia = "文件中没有可识别的视频或音频（不是视频文件或文件已损坏），无法加密！";
}

struct WholeCase
{
    const char *name;
    Clip clip;
    double share;       // 1.0: the whole file
    int mode;           // 7 fast, 8 re-encode, 4 Web
    const char *reason; // the start of the row's reason; empty: the job completes
};

void PrintTo(const WholeCase &c, std::ostream *os)
{
    *os << c.name;
}

class WholeSourceTest : public ::testing::TestWithParam<WholeCase>
{
protected:
    void SetUp() override
    {
        m_dir = testsupport::newTempDir();
        qputenv("VANTREL_DATA_DIR", (m_dir + QStringLiteral("data/")).toUtf8());
        CGlobal::init();
        m_signedIn.reset(new pipelinetest::SignedIn);
        ASSERT_NE(m_signedIn->server(), nullptr);
        ASSERT_TRUE(QFileInfo(pipelinetest::realSorbin()).isExecutable()) << "sorbin is not built";
        QFrameModel::setProgramPath(pipelinetest::realSorbin());
    }

    QString m_dir;
    std::unique_ptr<pipelinetest::SignedIn> m_signedIn;
};

TEST_P(WholeSourceTest, CutSourceIsRefusedAtTheProbeInEveryMode)
{
    const WholeCase &c = GetParam();
    const QString whole = clip(c.clip);
    ASSERT_FALSE(whole.isEmpty()) << "the clip could not be made";
    const QString videos = m_dir + QStringLiteral("我的 视频/");
    QDir().mkpath(videos);
    const QString name = QStringLiteral("第一课.") + QFileInfo(whole).suffix();
    const QString source = videos + name;
    const QByteArray bytes = c.share >= 1.0 ? testsupport::readAll(whole) : cut(testsupport::readAll(whole), c.share);
    ASSERT_GT(bytes.size(), 0);
    ASSERT_TRUE(testsupport::writeAll(source, bytes));
    const int recordsBefore = QRecords::instance()->count();

    QFileWork work(source, pipelinetest::config(c.mode));
    QSignalSpy errors(&work, SIGNAL(signal_error(QString)));
    auto run = std::async(std::launch::async, [&work]() { return work.run(); });
    ASSERT_TRUE(testsupport::waitUntil([&run]() {
        return run.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }, 90000));
    const bool ok = run.get();

    const QString reason = QString::fromUtf8(c.reason);
    const QString sliceFolder = CGlobal::slicePath() + QString::number(work.id());
    if (reason.isEmpty()) {
        EXPECT_TRUE(ok) << (errors.isEmpty() ? std::string() : errors.first().at(0).toString().toStdString());
        EXPECT_TRUE(work.isComplete());
        if (c.mode == 4) {
            EXPECT_TRUE(QFileInfo(sliceFolder + QLatin1Char('/') + work.video()->videoKey()).isFile());
        } else {
            EXPECT_TRUE(QFileInfo(videos + QStringLiteral("第一课.vep")).isFile());
            EXPECT_EQ(QRecords::instance()->count(), recordsBefore + 1);
        }
        return;
    }
    EXPECT_FALSE(ok);
    ASSERT_EQ(errors.count(), 1);
    const QString told = errors.first().at(0).toString();
    EXPECT_TRUE(told.startsWith(reason)) << told.toStdString();
    EXPECT_EQ(work.step(), static_cast<int>(QFileWork::StepNew)) << "refused at the probe";
    // Nothing beside the source, nothing sliced, no record.
    EXPECT_EQ(QDir(videos).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
              QStringList {name});
    EXPECT_FALSE(QFileInfo::exists(sliceFolder));
    EXPECT_EQ(QRecords::instance()->count(), recordsBefore);
    EXPECT_EQ(testsupport::readAll(source), bytes) << "the source is untouched";
}

INSTANTIATE_TEST_SUITE_P(Sources, WholeSourceTest, ::testing::Values(
    WholeCase {"front_whole_fast", Clip::IndexFront, 1.0, 7, ""},
    WholeCase {"front_whole_codec", Clip::IndexFront, 1.0, 8, ""},
    WholeCase {"front_whole_web", Clip::IndexFront, 1.0, 4, ""},
    WholeCase {"end_whole_fast", Clip::IndexEnd, 1.0, 7, ""},
    WholeCase {"end_whole_codec", Clip::IndexEnd, 1.0, 8, ""},
    WholeCase {"end_whole_web", Clip::IndexEnd, 1.0, 4, ""},
    WholeCase {"avi_whole_fast", Clip::Avi, 1.0, 7, ""},
    WholeCase {"flv_whole_fast", Clip::Flv, 1.0, 7, ""},
    WholeCase {"front_quarter_fast", Clip::IndexFront, 0.25, 7, kNotWhole},
    WholeCase {"front_quarter_codec", Clip::IndexFront, 0.25, 8, kNotWhole},
    WholeCase {"front_quarter_web", Clip::IndexFront, 0.25, 4, kNotWhole},
    WholeCase {"front_half_fast", Clip::IndexFront, 0.5, 7, kNotWhole},
    WholeCase {"front_half_codec", Clip::IndexFront, 0.5, 8, kNotWhole},
    WholeCase {"front_half_web", Clip::IndexFront, 0.5, 4, kNotWhole},
    WholeCase {"front_most_fast", Clip::IndexFront, 0.9, 7, kNotWhole},
    WholeCase {"front_most_codec", Clip::IndexFront, 0.9, 8, kNotWhole},
    WholeCase {"front_most_web", Clip::IndexFront, 0.9, 4, kNotWhole},
    WholeCase {"end_half_fast", Clip::IndexEnd, 0.5, 7, kNoMedia},
    WholeCase {"end_half_codec", Clip::IndexEnd, 0.5, 8, kNoMedia},
    WholeCase {"end_half_web", Clip::IndexEnd, 0.5, 4, kNoMedia},
    WholeCase {"end_most_fast", Clip::IndexEnd, 0.99, 7, kNotWhole},
    WholeCase {"end_most_codec", Clip::IndexEnd, 0.99, 8, kNotWhole},
    WholeCase {"end_most_web", Clip::IndexEnd, 0.99, 4, kNotWhole},
    WholeCase {"end_no_index_fast", Clip::IndexEnd, kBeforeIndex, 7, kNoMedia},
    WholeCase {"end_no_index_codec", Clip::IndexEnd, kBeforeIndex, 8, kNoMedia},
    WholeCase {"end_no_index_web", Clip::IndexEnd, kBeforeIndex, 4, kNoMedia},
    WholeCase {"avi_half_fast", Clip::Avi, 0.5, 7, kNotWhole},
    WholeCase {"avi_half_codec", Clip::Avi, 0.5, 8, kNotWhole},
    WholeCase {"avi_half_web", Clip::Avi, 0.5, 4, kNotWhole},
    WholeCase {"flv_half_fast", Clip::Flv, 0.5, 7, kNotWhole},
    WholeCase {"flv_half_codec", Clip::Flv, 0.5, 8, kNotWhole},
    WholeCase {"flv_half_web", Clip::Flv, 0.5, 4, kNotWhole}));

// Bytes some tools leave after the last box (padding, a text trailer) promise nothing: such a
// whole file is not refused, with its index before or after the media data.
TEST(WholeSourceCheck, BytesAfterTheLastBoxAreNoPromise)
{
    struct Tail
    {
        const char *name;
        QByteArray bytes;
    };
    const std::vector<Tail> tails {
        {"nothing", QByteArray()},
        {"three zeros", QByteArray(3, '\0')},
        {"a block of zeros", QByteArray(4096, '\0')},
        {"a text trailer", QByteArray("recorded by a screen recorder, build 42\n")},
    };
    for (Clip kind : {Clip::IndexFront, Clip::IndexEnd}) {
        const QByteArray whole = testsupport::readAll(clip(kind));
        ASSERT_FALSE(whole.isEmpty());
        for (const Tail &t : tails) {
            SCOPED_TRACE(t.name);
            const QString path = testsupport::newTempDir() + QStringLiteral("lesson.mp4");
            ASSERT_TRUE(testsupport::writeAll(path, whole + t.bytes));
            EXPECT_EQ(QMediaCheck::wholeRefusal(path), QString());
        }
    }
}
