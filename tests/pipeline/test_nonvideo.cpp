// Files that are no video for their mode fail at the probe step with their reason: no stage
// (sorbin or ffmpeg) is ever made for them, and nothing is written beside them.
#include <atomic>
#include <memory>

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "pipelinehelpers.h"
#include "qbase.h"
#include "qdtavideo.h"
#include "qfilework.h"
#include "qrecords.h"
#include "quser.h"
#include "testsupport.h"

namespace
{
    // Stands for the stage: counts how often one was made.
    class CountingStage : public QBase
    {
    public:
        explicit CountingStage(std::shared_ptr<std::atomic<int>> made)
        {
            ++*made;
        }
        void run() override {}
        void stop() override {}
    };

    enum class Source
    {
        Text,
        Empty,
        AudioOnly,
        TruncatedHeader,
        Video
    };

    QString makeSource(Source kind, const QString &folder)
    {
        const QString path = folder + QStringLiteral("第一课.mp4");
        switch (kind)
        {
        case Source::Text:
            return testsupport::writeAll(path, "这不是视频，只是改了后缀名的笔记。\n") ? path : QString();
        case Source::Empty:
            return testsupport::writeAll(path, QByteArray()) ? path : QString();
        case Source::AudioOnly:
            return pipelinetest::copyFile(testsupport::clipMp3(), folder, QStringLiteral("第一课.mp4"));
        case Source::TruncatedHeader:
            return testsupport::writeAll(path, testsupport::readAll(testsupport::clipH264Mp4()).left(600)) ? path
                                                                                                            : QString();
        case Source::Video:
            return pipelinetest::copyFile(testsupport::clipH264Mp4(), folder, QStringLiteral("第一课.mp4"));
        }
        return QString();
    }
}

struct NonVideoCase
{
    const char *name;
    Source source;
    int mode;
    const char *reason; // empty: the file goes on to its stage
};

void PrintTo(const NonVideoCase &c, std::ostream *os)
{
    *os << c.name;
}

class NonVideoTest : public ::testing::TestWithParam<NonVideoCase>
{
protected:
    void SetUp() override
    {
        QUser::instance()->setTeacherId(1001);
        m_made = std::make_shared<std::atomic<int>>(0);
        auto made = m_made;
        QFileWork::setModelFactory([made](const std::shared_ptr<QDtaVideo> &) {
            return std::unique_ptr<QBase>(new CountingStage(made));
        });
    }

    void TearDown() override
    {
        QFileWork::setModelFactory({});
    }

    std::shared_ptr<std::atomic<int>> m_made;
};

TEST_P(NonVideoTest, FailsAtTheProbeWithItsReason)
{
    const NonVideoCase &c = GetParam();
    const QString folder = testsupport::newTempDir();
    const QString source = makeSource(c.source, folder);
    ASSERT_FALSE(source.isEmpty());
    const int recordsBefore = QRecords::instance()->count();

    QFileWork work(source, pipelinetest::config(c.mode));
    QSignalSpy errors(&work, SIGNAL(signal_error(QString)));
    QSignalSpy completes(&work, SIGNAL(signal_complete()));
    const bool ok = work.run();

    const QString reason = QString::fromUtf8(c.reason);
    if (reason.isEmpty())
    {
        EXPECT_TRUE(ok);
        EXPECT_EQ(m_made->load(), 1);
        EXPECT_EQ(completes.count(), 1);
        return;
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(m_made->load(), 0) << "no stage may be made for it";
    EXPECT_EQ(completes.count(), 0);
    ASSERT_EQ(errors.count(), 1);
    EXPECT_EQ(errors.first().at(0).toString(), reason);
    // Probed again when it is tried again.
    EXPECT_EQ(work.step(), static_cast<int>(QFileWork::StepNew));
    EXPECT_FALSE(work.isComplete());
    EXPECT_TRUE(work.isStopped());
    // Nothing beside the source: no output, no temporary file; no history record.
    EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList {QStringLiteral("第一课.mp4")});
    EXPECT_EQ(QRecords::instance()->count(), recordsBefore);
}

namespace
{
    const char *const kNoMedia = "文件中没有可识别的视频或音频（不是视频文件或文件已损坏），无法加密！";
    const char *const kEmpty = "文件是空的，不是视频文件，无法加密！";
    const char *const kNoVideoCodec = "文件中没有视频画面，高强度重编码加密只能用于视频文件！";
    const char *const kNoVideoWeb = "文件中没有视频画面，Web加密模式只能用于视频文件！";
}

INSTANTIATE_TEST_SUITE_P(Files, NonVideoTest, ::testing::Values(
    NonVideoCase {"text_fast", Source::Text, 7, kNoMedia},
    NonVideoCase {"text_codec", Source::Text, 8, kNoMedia},
    NonVideoCase {"text_web", Source::Text, 4, kNoMedia},
    NonVideoCase {"empty_fast", Source::Empty, 7, kEmpty},
    NonVideoCase {"empty_codec", Source::Empty, 8, kEmpty},
    NonVideoCase {"empty_web", Source::Empty, 4, kEmpty},
    NonVideoCase {"truncated_fast", Source::TruncatedHeader, 7, kNoMedia},
    NonVideoCase {"truncated_codec", Source::TruncatedHeader, 8, kNoMedia},
    NonVideoCase {"truncated_web", Source::TruncatedHeader, 4, kNoMedia},
    // Fast mode enciphers the file's bytes as they are: audio is fine there.
    NonVideoCase {"audio_fast", Source::AudioOnly, 7, ""},
    NonVideoCase {"audio_codec", Source::AudioOnly, 8, kNoVideoCodec},
    NonVideoCase {"audio_web", Source::AudioOnly, 4, kNoVideoWeb},
    NonVideoCase {"video_fast", Source::Video, 7, ""},
    NonVideoCase {"video_codec", Source::Video, 8, ""},
    NonVideoCase {"video_web", Source::Video, 4, ""}));
