// Media probe: MediaInfo on real clips, libvlc after a reader that does not answer.
#include <atomic>
#include <chrono>
#include <thread>

#include <QDir>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include "pipelinehelpers.h"
#include "qdtavideo.h"
#include "qvlcinstance.h"
#include "testsupport.h"

namespace
{
    std::unique_ptr<QDtaVideo> videoOf(const QString &path)
    {
        return std::unique_ptr<QDtaVideo>(new QDtaVideo(42, path, pipelinetest::config(8)));
    }
}

struct ClipCase
{
    const char *name;
    QString (*make)();
    int width;
    int height;
    int duration;
    uint32_t codec;
};

void PrintTo(const ClipCase &c, std::ostream *os)
{
    *os << c.name;
}

class ProbeClipTest : public ::testing::TestWithParam<ClipCase>
{
protected:
    // The real reader, trusted: no reader of an earlier test that timed out.
    void SetUp() override { QDtaVideo::setMediaInfoReader({}); }
};

TEST_P(ProbeClipTest, MediaInfoReadsTheFacts)
{
    const ClipCase &c = GetParam();
    const QString clip = c.make();
    ASSERT_FALSE(clip.isEmpty());
    auto video = videoOf(clip);
    video->probeMedia();
    EXPECT_FALSE(QDtaVideo::mediaInfoHung());
    EXPECT_EQ(video->videoWidth(), c.width);
    EXPECT_EQ(video->videoHeight(), c.height);
    EXPECT_EQ(video->totalTime(), c.duration);
    EXPECT_EQ(video->codec(), c.codec);
}

INSTANTIATE_TEST_SUITE_P(Clips, ProbeClipTest, ::testing::Values(
    ClipCase {"h264_mp4", &testsupport::clipH264Mp4, 320, 240, 3, QDtaVideo::CodecH264},
    ClipCase {"mpeg4_avi", &testsupport::clipMpeg4Avi, 320, 240, 3, 0},
    ClipCase {"mp3_audio_only", &testsupport::clipMp3, 0, 0, 3, 0}));

TEST(ProbeTest, NonAsciiPathIsRead)
{
    const QString clip = testsupport::clipH264Mp4();
    ASSERT_FALSE(clip.isEmpty());
    const QString path = pipelinetest::copyFile(clip, testsupport::newTempDir() + QStringLiteral("课程 视频/"),
                                                QStringLiteral("第一课 开篇.mp4"));
    ASSERT_FALSE(path.isEmpty());
    auto video = videoOf(path);
    video->probeMedia();
    EXPECT_EQ(video->videoWidth(), 320);
    EXPECT_EQ(video->videoHeight(), 240);
    EXPECT_EQ(video->codec(), QDtaVideo::CodecH264);
}

TEST(ProbeTest, UnreadableFileGivesZerosWithoutError)
{
    const QString path = testsupport::newTempDir() + QStringLiteral("notes.mp4");
    ASSERT_TRUE(testsupport::writeAll(path, "this is not a video"));
    auto video = videoOf(path);
    EXPECT_NO_THROW(video->probeMedia());
    EXPECT_EQ(video->videoWidth(), 0);
    EXPECT_EQ(video->totalTime(), 0);
    EXPECT_EQ(video->codec(), 0u);
}

TEST(ProbeTest, ReaderThatBlocksFallsBackToLibvlcForGood)
{
    const QString clip = testsupport::clipH264Mp4();
    ASSERT_FALSE(clip.isEmpty());
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto release = std::make_shared<std::atomic<bool>>(false);
    QDtaVideo::setMediaInfoReader([calls, release](const QString &, MediaFacts &facts) {
        ++*calls;
        while (!*release)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        // Too late: these must never reach the video.
        facts.width = 999;
        facts.codec = 1;
    });

    auto video = videoOf(clip);
    QElapsedTimer timer;
    timer.start();
    video->probeMedia();
    const qint64 elapsed = timer.elapsed();
    // Waited for the reader's time-out, but did not hang on it (libvlc may be slow under load).
    EXPECT_GE(elapsed, 4900);
    EXPECT_LT(elapsed, 15000);
    EXPECT_TRUE(QDtaVideo::mediaInfoHung());
    EXPECT_EQ(video->videoWidth(), 320);
    EXPECT_EQ(video->videoHeight(), 240);
    EXPECT_EQ(video->totalTime(), 3);
    EXPECT_EQ(video->codec(), QDtaVideo::CodecH264);

    // The late reader finishes: its thread is gone once it has let go of its copy of the
    // reader (the one left is the installed reader's and this test's own).
    *release = true;
    ASSERT_TRUE(testsupport::waitUntil([&]() { return release.use_count() == 2; }, 10000));
    EXPECT_EQ(video->videoWidth(), 320);
    EXPECT_EQ(video->codec(), QDtaVideo::CodecH264);

    // From now on straight to libvlc: no reader started, so no time-out to wait for.
    auto avi = videoOf(testsupport::clipMpeg4Avi());
    avi->probeMedia();
    EXPECT_EQ(calls->load(), 1);
    EXPECT_EQ(avi->videoWidth(), 320);
    EXPECT_EQ(avi->totalTime(), 3);
    EXPECT_NE(avi->codec(), QDtaVideo::CodecH264);

    // The real reader again, trusted again.
    QDtaVideo::setMediaInfoReader({});
    EXPECT_FALSE(QDtaVideo::mediaInfoHung());
    EXPECT_EQ(release.use_count(), 1);
}
