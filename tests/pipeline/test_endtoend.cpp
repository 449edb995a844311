// The whole road of a video: pool, probe, authorization code from the local server, the real
// sorbin over the real pipe, final name and history.
#include <map>
#include <set>
#include <mutex>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include "pipelinehelpers.h"
#include "qdtavideo.h"
#include "qfilework.h"
#include "qframemodel.h"
#include "qjsonfile.h"
#include "qrecords.h"
#include "qworkpool.h"
#include "testsupport.h"

TEST(EndToEndTest, RealSorbinInModes0And7And8)
{
    qRegisterMetaType<record_ptr>("record_ptr");
    const QString dir = testsupport::newTempDir();
    qputenv("VANTREL_DATA_DIR", (dir + QStringLiteral("data")).toUtf8());
    pipelinetest::SignedIn signedIn;
    ASSERT_NE(signedIn.server(), nullptr);
    ASSERT_TRUE(QFileInfo(pipelinetest::realSorbin()).isExecutable()) << "sorbin is not built";
    QFrameModel::setProgramPath(pipelinetest::realSorbin());
    const QString clip = testsupport::clipH264Mp4();
    ASSERT_FALSE(clip.isEmpty());
    const QByteArray source = testsupport::readAll(clip);
    const QString videos = dir + QStringLiteral("我的 视频/");

    std::mutex mutex;
    std::map<qint64, QList<int>> progress;
    std::map<qint64, QString> errors;
    std::map<qint64, bool> completed;
    std::map<qint64, int> modes;

    QWorkPool pool;
    pool.setFilePath(dir + QStringLiteral("data/work.json"));
    QObject::connect(&pool, &QWorkPool::addItem, [&](QFileWork *work) {
        const qint64 id = work->id();
        QObject::connect(work, &QFileWork::signal_progress, [&, id](int, int percent) {
            std::lock_guard<std::mutex> lock(mutex);
            progress[id].append(percent);
        });
        QObject::connect(work, &QFileWork::signal_error, [&, id](const QString &message) {
            std::lock_guard<std::mutex> lock(mutex);
            errors[id] = message;
        });
    });
    QObject::connect(&pool, &QWorkPool::completeItem, [&](qlonglong id) {
        std::lock_guard<std::mutex> lock(mutex);
        completed[id] = true;
    });
    pool.start(3);
    for (int mode : {0, 7, 8}) {
        const QString name = QStringLiteral("第%1课.mp4").arg(mode);
        const QString path = pipelinetest::copyFile(clip, videos, name);
        ASSERT_FALSE(path.isEmpty());
        modes[pool.addWork(path, pipelinetest::config(mode, QStringLiteral("12")))->id()] = mode;
    }
    const bool ended = testsupport::waitUntil([&]() {
        std::lock_guard<std::mutex> lock(mutex);
        return completed.size() + errors.size() == 3;
    }, 90000);
    pool.stop();
    ASSERT_TRUE(ended);

    for (const auto &m : modes) {
        SCOPED_TRACE(m.second);
        EXPECT_TRUE(errors[m.first].isEmpty()) << errors[m.first].toStdString();
        EXPECT_TRUE(completed[m.first]);
        const QString base = videos + QStringLiteral("第%1课").arg(m.second);
        EXPECT_EQ(testsupport::readAll(base + QStringLiteral(".mp4")), source) << "the source is untouched";
        const QByteArray output = testsupport::readAll(base + QStringLiteral(".vep"));
        EXPECT_GT(output.size(), source.size() / 2);
        if (m.second == 0)
            EXPECT_TRUE(output.startsWith(source)) << "mode 0 copies the video before its package block";
        else {
            EXPECT_FALSE(output.startsWith(source.left(4096)));
            EXPECT_FALSE(progress[m.first].isEmpty());
            if (!progress[m.first].isEmpty()) {
                EXPECT_EQ(progress[m.first].last(), 100);
            }
        }
        EXPECT_TRUE(QDir(videos).entryList({QStringLiteral("*.tmp")}, QDir::Files | QDir::Hidden).isEmpty());
    }

    const auto records = QRecords::instance()->records();
    ASSERT_EQ(records.size(), 3);
    std::multiset<uint32_t> recorded;
    for (const record_ptr &record : records) {
        recorded.insert(record->fileType());
        EXPECT_EQ(record->filePath(), videos);
        EXPECT_TRUE(record->fileName().endsWith(QStringLiteral("课.vep")));
        EXPECT_TRUE(QFile::exists(record->filePath() + record->fileName()));
    }
    EXPECT_EQ(recorded, (std::multiset<uint32_t> {0, 7, 8}));
    QValue pending;
    EXPECT_TRUE(QJsonFile::read(dir + QStringLiteral("data/work.json"), pending));
    EXPECT_TRUE(pending.isNull());
}
