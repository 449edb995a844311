// Job records, the video key and the history file.
#include <atomic>
#include <limits>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "cglobal.h"
#include "pipelinehelpers.h"
#include "qdtarecord.h"
#include "qdtavideo.h"
#include "qjsonfile.h"
#include "qrecords.h"
#include "quser.h"
#include "qvalue.h"
#include "testsupport.h"
#include "uexception.h"

namespace
{
    QValue parse(const char *text)
    {
        QValue root;
        EXPECT_TRUE(parseJson(QByteArray(text), root));
        return root;
    }

    void writeSized(const QString &path, qint64 size)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(size));
    }
}

struct KeyCase
{
    const char *fileName;
    int mode;
    const char *key;
};

void PrintTo(const KeyCase &c, std::ostream *os)
{
    *os << c.fileName << " mode " << c.mode;
}

class VideoKeyTest : public ::testing::TestWithParam<KeyCase>
{
};

TEST_P(VideoKeyTest, NamesTheOutput)
{
    const KeyCase &c = GetParam();
    EXPECT_EQ(QDtaVideo::makeVideoKey(12, QStringLiteral("345"), 77, QString::fromUtf8(c.fileName), c.mode),
              QString::fromUtf8(c.key));
}

INSTANTIATE_TEST_SUITE_P(Keys, VideoKeyTest, ::testing::Values(
    KeyCase {"lesson 1.mp4", 8, "12_345_77_lesson 1.vep"},
    KeyCase {"clip", 8, "12_345_77_clip.vep"},
    KeyCase {"a.mp4.mp4", 7, "12_345_77_a.vep.vep"},
    KeyCase {"a.MP4.mp4", 7, "12_345_77_a.MP4.vep"},
    KeyCase {"lesson.MP4", 8, "12_345_77_lesson.vep"},
    KeyCase {"x%3y%1.mp4", 8, "12_345_77_x%3y%1.vep"},
    KeyCase {"第一课.mp4", 0, "12_345_77_第一课.vep"},
    KeyCase {"lesson.mp4", 4, "12_345_77_lesson.m3u8"},
    KeyCase {"my_clip.avi", 4, "12_345_77_my_clip.m3u8"}));

TEST(QDtaVideoTest, NewJobTakesFolderSizeAndKey)
{
    QUser::instance()->setTeacherId(12);
    const QString dir = testsupport::newTempDir();
    const QString path = dir + QStringLiteral("lesson 1.mp4");
    writeSized(path, 1572864);

    QDtaVideo video(5000000000123LL, path, pipelinetest::config(8, QStringLiteral("345")));
    EXPECT_EQ(video.fileName(), QStringLiteral("lesson 1.mp4"));
    EXPECT_EQ(video.filePath(), dir);
    EXPECT_EQ(video.savePath(), dir);
    EXPECT_EQ(video.sourcePath(), path);
    EXPECT_DOUBLE_EQ(video.fileSize(), 1.5);
    EXPECT_EQ(video.videoKey(), QStringLiteral("12_345_5000000000123_lesson 1.vep"));
    EXPECT_EQ(video.videoWidth(), 0);
    EXPECT_EQ(video.codec(), 0u);
}

TEST(QDtaVideoTest, CourseIdMustBeDigits)
{
    const QString path = testsupport::newTempDir() + QStringLiteral("a.mp4");
    writeSized(path, 10);
    for (const char *id : {"", "12a", "../3", "1 2", "-5", "１２", "12/"}) {
        SCOPED_TRACE(id);
        EXPECT_THROW(QDtaVideo(1, path, pipelinetest::config(8, QString::fromUtf8(id))), UException);
    }
    EXPECT_NO_THROW(QDtaVideo(1, path, pipelinetest::config(8, QStringLiteral("0012"))));
}

TEST(QDtaJsonTest, ConfigRoundTripAndLenientReading)
{
    QDtaConfig config = pipelinetest::config(7, QStringLiteral("12"));
    config.setAutoConvert(true);
    config.setCodecQuality(QStringLiteral("-b:v 800k"));
    config.setWebQuality(QStringLiteral("-crf 23"));
    QDtaConfig back;
    back.fromJson(config.toJson());
    EXPECT_EQ(back.encryptType(), 7);
    EXPECT_TRUE(back.autoConvert());
    EXPECT_EQ(back.courseId(), QStringLiteral("12"));
    EXPECT_EQ(back.courseName(), QStringLiteral("视频加密入门"));
    EXPECT_EQ(back.codecQuality(), QStringLiteral("-b:v 800k"));
    EXPECT_EQ(back.webQuality(), QStringLiteral("-crf 23"));
    EXPECT_EQ(QDtaConfig().encryptType(), 4);

    QDtaConfig missing;
    missing.fromJson(parse("{}"));
    EXPECT_EQ(missing.encryptType(), 0);
    QDtaConfig truncated;
    truncated.fromJson(parse("{\"encrypt_type\": 260}"));
    EXPECT_EQ(truncated.encryptType(), 4);

    QDtaConfig wrong;
    EXPECT_NO_THROW(wrong.fromJson(parse("{\"encrypt_type\": \"7\", \"autoConvert\": \"yes\", \"course_id\": 12,"
                                         " \"course_name\": [1], \"codec_quality\": {}}")));
    EXPECT_EQ(wrong.encryptType(), 0);
    EXPECT_FALSE(wrong.autoConvert());
    EXPECT_TRUE(wrong.courseId().isEmpty());
    EXPECT_TRUE(wrong.courseName().isEmpty());
    EXPECT_NO_THROW(wrong.fromJson(parse("[1, 2]")));
}

TEST(QDtaJsonTest, RecordRoundTripKeeps64BitId)
{
    QDtaRecord record;
    record.setId(5000000000123LL);
    record.setFileName(QStringLiteral("第一课.vep"));
    record.setFilePath(QStringLiteral("/home/t/videos/"));
    record.setTime(1700000000);
    record.setFileSize(3.5);
    record.setFileType(8);
    const QDtaRecord back(QValue(record.toJson()));
    EXPECT_EQ(back.id(), 5000000000123LL);
    EXPECT_EQ(back.fileName(), record.fileName());
    EXPECT_EQ(back.filePath(), record.filePath());
    EXPECT_EQ(back.time(), 1700000000);
    EXPECT_DOUBLE_EQ(back.fileSize(), 3.5);
    EXPECT_EQ(back.fileType(), 8u);

    const QDtaRecord copy(record);
    EXPECT_EQ(copy.id(), record.id());
    EXPECT_EQ(copy.parent(), nullptr);

    for (const char *text : {"{\"id\": \"12\", \"file_name\": 5, \"time\": 1.5, \"file_size\": \"3\", \"file_type\": -1}",
                             "[\"id\"]", "\"text\"", "null", "{\"id\": 1e30, \"time\": 9999999999}"}) {
        SCOPED_TRACE(text);
        const QValue value = parse(text);
        std::unique_ptr<QDtaRecord> wrong;
        ASSERT_NO_THROW(wrong.reset(new QDtaRecord(value)));
        EXPECT_EQ(wrong->id(), 0);
        EXPECT_TRUE(wrong->fileName().isEmpty());
        EXPECT_EQ(wrong->time(), 0);
        EXPECT_DOUBLE_EQ(wrong->fileSize(), 0.0);
        EXPECT_EQ(wrong->fileType(), 0u);
    }
}

TEST(QDtaJsonTest, VideoRoundTripAndWrongTypes)
{
    QUser::instance()->setTeacherId(1001);
    const QString dir = testsupport::newTempDir();
    writeSized(dir + QStringLiteral("v.mp4"), 2048);
    QDtaVideo video(6000000000001LL, dir + QStringLiteral("v.mp4"), pipelinetest::config(4, QStringLiteral("13")));
    QValue json = video.toJson();
    json["codec"] = QDtaVideo::CodecH264;
    json["video_width"] = 320;
    json["total_time"] = 3;

    const QDtaVideo back(json);
    EXPECT_EQ(back.id(), 6000000000001LL);
    EXPECT_EQ(back.config().encryptType(), 4);
    EXPECT_EQ(back.config().courseId(), QStringLiteral("13"));
    EXPECT_EQ(back.fileName(), QStringLiteral("v.mp4"));
    EXPECT_EQ(back.filePath(), dir);
    EXPECT_EQ(back.savePath(), dir);
    EXPECT_EQ(back.videoKey(), QStringLiteral("1001_13_6000000000001_v.m3u8"));
    EXPECT_EQ(back.codec(), QDtaVideo::CodecH264);
    EXPECT_EQ(back.videoWidth(), 320);
    EXPECT_EQ(back.totalTime(), 3);
    EXPECT_TRUE(back.isValid());

    const QValue wrong = parse("{\"id\": \"1\", \"config\": \"x\", \"file_name\": 3, \"codec\": -4, \"video_width\": \"320\"}");
    std::unique_ptr<QDtaVideo> odd;
    ASSERT_NO_THROW(odd.reset(new QDtaVideo(wrong)));
    EXPECT_EQ(odd->id(), 0);
    EXPECT_EQ(odd->config().encryptType(), 0);
    EXPECT_EQ(odd->codec(), 0u);
    EXPECT_EQ(odd->videoWidth(), 0);
    EXPECT_FALSE(odd->isValid());
}

TEST(QDtaVideoTest, RestoredJobMustBeSafeToRun)
{
    QUser::instance()->setTeacherId(1001);
    const QString dir = testsupport::newTempDir();
    writeSized(dir + QStringLiteral("v.mp4"), 10);
    const QValue good = QDtaVideo(7, dir + QStringLiteral("v.mp4"), pipelinetest::config(8)).toJson();
    ASSERT_TRUE(QDtaVideo(good).isValid());

    const std::vector<std::pair<const char *, QValue>> edits {
        {"video_key", QValue("../../x.vep")},
        {"file_name", QValue("")},
        {"file_path", QValue("relative/")},
        {"save_path", QValue("/tmp/../etc/")},
    };
    for (const auto &edit : edits) {
        SCOPED_TRACE(edit.first);
        QValue changed = good;
        changed[edit.first] = edit.second;
        EXPECT_FALSE(QDtaVideo(changed).isValid());
    }
    QValue badCourse = good;
    badCourse["config"]["course_id"] = "12/../..";
    EXPECT_FALSE(QDtaVideo(badCourse).isValid());
}

class QRecordsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qRegisterMetaType<record_ptr>("record_ptr");
        m_dir = testsupport::newTempDir();
        qputenv("VANTREL_DATA_DIR", (m_dir + QStringLiteral("data")).toUtf8());
        m_file = m_dir + QStringLiteral("records.json");
    }

    QString m_dir;
    QString m_file;
};

TEST_F(QRecordsTest, FileRecordIsSavedAtOnce)
{
    const QString output = m_dir + QStringLiteral("out/第一课.vep");
    QDir().mkpath(m_dir + QStringLiteral("out"));
    writeSized(output, 3670016);

    QRecords records(m_file);
    QSignalSpy added(&records, SIGNAL(addItem(record_ptr)));
    const record_ptr record = records.addRecord(output, 8);
    ASSERT_EQ(added.count(), 1);
    EXPECT_EQ(added.at(0).at(0).value<record_ptr>(), record);
    EXPECT_EQ(record->fileName(), QStringLiteral("第一课.vep"));
    EXPECT_EQ(record->filePath(), m_dir + QStringLiteral("out/"));
    EXPECT_DOUBLE_EQ(record->fileSize(), 3.0);
    EXPECT_EQ(record->fileType(), 8u);
    EXPECT_GT(record->id(), 0);
    EXPECT_GT(record->time(), 1600000000);

    // On disk before the store ends: a killed program keeps its history.
    QRecords reread(m_file);
    ASSERT_TRUE(reread.contains(record->id()));
    const record_ptr back = reread.record(record->id());
    EXPECT_EQ(back->fileName(), record->fileName());
    EXPECT_DOUBLE_EQ(back->fileSize(), 3.0);
    EXPECT_EQ(back->fileType(), 8u);
}

TEST_F(QRecordsTest, IdsAreDistinctWithinOneMillisecond)
{
    const QString output = m_dir + QStringLiteral("a.vep");
    writeSized(output, 1);
    QRecords records(m_file);
    std::set<qint64> ids;
    for (int i = 0; i < 50; ++i)
        ids.insert(records.addRecord(output, 7)->id());
    EXPECT_EQ(ids.size(), 50u);
    EXPECT_EQ(records.count(), 50);
}

TEST_F(QRecordsTest, WorkersRecordingTogetherLoseNothing)
{
    const QString output = m_dir + QStringLiteral("a.vep");
    writeSized(output, 1);
    std::set<qint64> ids;
    {
        QRecords records(m_file);
        std::mutex mutex;
        std::vector<std::thread> workers;
        for (int t = 0; t < 4; ++t) {
            workers.emplace_back([&]() {
                for (int i = 0; i < 25; ++i) {
                    const qint64 id = records.addRecord(output, 8)->id();
                    std::lock_guard<std::mutex> lock(mutex);
                    ids.insert(id);
                }
            });
        }
        for (auto &worker : workers)
            worker.join();
        EXPECT_EQ(ids.size(), 100u);
        // Already on disk, each one, before the store ends.
        QRecords reread(m_file);
        EXPECT_EQ(reread.count(), 100);
    }
    QRecords reread(m_file);
    for (qint64 id : ids)
        EXPECT_TRUE(reread.contains(id)) << id;
}

TEST_F(QRecordsTest, WebFolderRecordsLastPlaylistAndIsRemovedOnlyInsideSlices)
{
    CGlobal::initPath();
    const QString slices = CGlobal::slicePath();
    ASSERT_FALSE(slices.isEmpty());
    const QString job = slices + QStringLiteral("123/");
    QDir().mkpath(job);
    writeSized(job + QStringLiteral("a.m3u8"), 1048576);
    writeSized(job + QStringLiteral("B.M3U8"), 1048576);
    writeSized(job + QStringLiteral("seg0.ts"), 1572864);
    // A folder inside adds nothing to the size.
    QDir().mkpath(job + QStringLiteral("sub"));

    QRecords records(m_file);
    const record_ptr record = records.addRecord(job, 4);
    EXPECT_EQ(record->fileName(), QStringLiteral("B.M3U8"));
    EXPECT_EQ(record->filePath(), job);
    EXPECT_DOUBLE_EQ(record->fileSize(), 3.5);
    EXPECT_EQ(record->fileType(), 4u);
    EXPECT_FALSE(QDir(job).exists());

    // A folder elsewhere (a wrong path) is recorded but never deleted.
    const QString other = m_dir + QStringLiteral("videos/");
    QDir().mkpath(other);
    writeSized(other + QStringLiteral("lesson.mp4"), 100);
    const record_ptr none = records.addRecord(other, 4);
    EXPECT_TRUE(none->fileName().isEmpty());
    EXPECT_TRUE(QFile::exists(other + QStringLiteral("lesson.mp4")));
}

TEST_F(QRecordsTest, MemberNameIsTheKeyAndClearWritesNull)
{
    ASSERT_TRUE(testsupport::writeAll(m_file,
        "{\"123\":{\"file_name\":\"a.vep\",\"file_path\":\"/v/\",\"file_size\":1.0,\"file_type\":7,\"id\":456,\"time\":5}}\n"));
    {
        QRecords records(m_file);
        ASSERT_TRUE(records.contains(123));
        EXPECT_FALSE(records.contains(456));
        EXPECT_EQ(records.record(123)->id(), 456);
        EXPECT_THROW(records.record(456), UException);
        EXPECT_THROW(records.removeRecord(456), UException);
        EXPECT_TRUE(records.save());
    }
    QValue saved;
    ASSERT_TRUE(QJsonFile::read(m_file, saved));
    EXPECT_EQ(jsonInt64(saved["123"]["id"]), 456);
    EXPECT_EQ(testsupport::readAll(m_file).count('\n'), 1);

    {
        QRecords records(m_file);
        QSignalSpy removed(&records, SIGNAL(removeItem(qlonglong)));
        records.removeRecord(123);
        EXPECT_EQ(removed.count(), 1);
        records.clear();
    }
    EXPECT_EQ(testsupport::readAll(m_file).trimmed(), QByteArray("null"));
}

TEST_F(QRecordsTest, DamagedFilesLoadEmptyAndAreKept)
{
    const std::vector<QByteArray> damaged {
        "{\"1\": {\"file_name\": \"a\"", "[1, 2, 3]", "\"text\"", QByteArray("\x00\xff\xfe{", 4),
        "{\"5\": 7, \"6\": {\"id\": \"x\", \"file_size\": \"big\"}}",
        "{\"a\": {\"file_name\": \"a.vep\"}, \"b\": {\"file_name\": \"b.vep\"}}",
    };
    int n = 0;
    for (const QByteArray &content : damaged) {
        SCOPED_TRACE(content.toStdString());
        const QString file = m_dir + QStringLiteral("records%1.json").arg(n++);
        ASSERT_TRUE(testsupport::writeAll(file, content));
        std::unique_ptr<QRecords> records;
        ASSERT_NO_THROW(records.reset(new QRecords(file)));
        EXPECT_LE(records->count(), 1);
        const QString output = m_dir + QStringLiteral("a.vep");
        writeSized(output, 1);
        records->addRecord(output, 7);
        records.reset();
        EXPECT_EQ(testsupport::readAll(file + QStringLiteral(".bad")), content);
        QValue now;
        EXPECT_TRUE(QJsonFile::read(file, now));
        EXPECT_TRUE(now.isObject());
    }
}

// A record id at the largest 64-bit value: the next record gets a sound id of its own.
TEST_F(QRecordsTest, IdsNeverOverflow)
{
    const QByteArray content = "{\"9223372036854775807\":{\"file_name\":\"a.vep\",\"file_path\":\"/v/\",\"file_size\":1.0,"
                               "\"file_type\":7,\"id\":9223372036854775807,\"time\":1}}\n";
    ASSERT_TRUE(testsupport::writeAll(m_file, content));
    QRecords records(m_file);
    ASSERT_EQ(records.count(), 1);
    const QString output = m_dir + QStringLiteral("b.vep");
    writeSized(output, 1);
    const record_ptr first = records.addRecord(output, 7);
    const record_ptr second = records.addRecord(output, 8);
    EXPECT_GT(first->id(), 0);
    EXPECT_GT(second->id(), first->id());
    EXPECT_LT(second->id(), std::numeric_limits<qint64>::max());
    EXPECT_EQ(records.count(), 3);
}

// The record of a job is kept under the job's id (its done mark); a taken id gives another.
TEST_F(QRecordsTest, JobRecordTakesTheJobIdWhenFree)
{
    QRecords records(m_file);
    const QString output = m_dir + QStringLiteral("a.vep");
    writeSized(output, 2 * 1024 * 1024 + 5);
    const record_ptr record = records.addJobRecord(1700000000005LL, m_dir + QStringLiteral("final.vep"), output, 8);
    EXPECT_EQ(record->id(), 1700000000005LL);
    EXPECT_EQ(record->fileName(), QStringLiteral("final.vep"));
    EXPECT_EQ(record->fileSize(), 2.0) << "sized from the file that holds the output now";
    EXPECT_EQ(records.jobRecord(1700000000005LL), record);
    const record_ptr other = records.addJobRecord(1700000000005LL, output, output, 8);
    EXPECT_NE(other->id(), 1700000000005LL);
    EXPECT_TRUE(records.moveRecord(record->id(), output));
    EXPECT_EQ(records.jobRecord(1700000000005LL)->fileName(), QStringLiteral("a.vep"));

    QRecords reloaded(m_file);
    ASSERT_NE(reloaded.jobRecord(1700000000005LL), nullptr);
    EXPECT_EQ(reloaded.jobRecord(1700000000005LL)->fileName(), QStringLiteral("a.vep"));
}

// A damaged history is kept aside and the user is told once, with the kept copy's name.
TEST_F(QRecordsTest, DamagedFileIsReportedOnceWithTheKeptName)
{
    for (const QByteArray &content : {QByteArray("{\"1\": "), QByteArray("[1]")}) {
        SCOPED_TRACE(content.toStdString());
        ASSERT_TRUE(testsupport::writeAll(m_file, content));
        QRecords records(m_file);
        const QString notice = records.takeSetAsideNotice();
        EXPECT_TRUE(notice.contains(m_file + QStringLiteral(".bad"))) << notice.toStdString();
        EXPECT_TRUE(records.takeSetAsideNotice().isEmpty());
        QFile::remove(m_file + QStringLiteral(".bad"));
    }
    QRecords sound(m_file);
    EXPECT_TRUE(sound.takeSetAsideNotice().isEmpty());
}

// A history of 50,000 records is read whole and written back, after every kind of change,
// byte for byte as the JSON library's compact writer writes the same history; names of
// other lengths, a negative and a zero key and texts that need escapes keep their order.
TEST_F(QRecordsTest, LongHistoryIsWrittenAsTheJsonWriterWritesIt)
{
    QValue expected(Json::objectValue);
    auto recordValue = [](qint64 id, const QString &name, double size, unsigned type) {
        QValue value(Json::objectValue);
        value["id"] = static_cast<Json::Int64>(id);
        value["file_name"] = name.toStdString();
        value["file_path"] = std::string("C:\\课程\\");
        value["file_size"] = size;
        value["file_type"] = type;
        value["time"] = static_cast<Json::Int>(id / 1000);
        return value;
    };
    for (int i = 0; i < 50000; ++i) {
        const qint64 id = 1600000000000LL + static_cast<qint64>(i) * 977;
        expected[std::to_string(id)] = recordValue(id, QStringLiteral("第%1课 \"引号\"\t.vep").arg(i), i * 0.25, 7 + i % 2);
    }
    for (const qint64 id : {-5LL, 0LL, 7LL, 99LL, 123456789012345678LL})
        expected[std::to_string(id)] = recordValue(id, QStringLiteral("short\\%1.vep").arg(id), 1.5, 4);
    ASSERT_TRUE(QJsonFile::write(m_file, expected, false));
    const QByteArray original = testsupport::readAll(m_file);

    const QString output = m_dir + QStringLiteral("新的 一课.vep");
    writeSized(output, 5 * 1024 * 1024);
    qint64 added = 0;
    {
        QRecords records(m_file);
        ASSERT_EQ(records.count(), 50005);
        ASSERT_TRUE(records.contains(-5));
        EXPECT_EQ(records.record(1600000000000LL + 977)->fileName(), QStringLiteral("第1课 \"引号\"\t.vep"));
        ASSERT_TRUE(records.save());
        EXPECT_EQ(testsupport::readAll(m_file), original) << "loaded and saved unchanged";

        added = records.addRecord(output, 8)->id();
        QValue withNew = expected;
        withNew[std::to_string(added)] = records.record(added)->toJson();
        EXPECT_EQ(testsupport::readAll(m_file), toStyledByteArray(withNew, false)) << "one record added";

        ASSERT_TRUE(records.moveRecord(7, output));
        withNew["7"] = records.record(7)->toJson();
        records.removeRecord(1600000000000LL);
        withNew.removeMember(std::to_string(1600000000000LL));
        EXPECT_EQ(testsupport::readAll(m_file), toStyledByteArray(withNew, false)) << "moved and removed";

        // Written over by hand: a save without a change leaves the file alone; the next
        // change writes the whole history again.
        ASSERT_TRUE(testsupport::writeAll(m_file, "{}"));
        ASSERT_TRUE(records.save());
        EXPECT_EQ(testsupport::readAll(m_file), QByteArray("{}"));
        records.removeRecord(0);
        withNew.removeMember("0");
        EXPECT_EQ(testsupport::readAll(m_file), toStyledByteArray(withNew, false));
    }
    QRecords reread(m_file);
    EXPECT_EQ(reread.count(), 50004);
    EXPECT_TRUE(reread.contains(added));
    EXPECT_FALSE(reread.contains(0));
}

// A history read on a thread of its own: whatever needs it waits for it, records added by
// workers meanwhile are kept once each, nothing is written before it is read, and then the
// file is written whole, as the JSON library's compact writer writes it.
TEST_F(QRecordsTest, HistoryReadInTheBackgroundLosesAndDoublesNothing)
{
    QValue expected(Json::objectValue);
    for (int i = 0; i < 20000; ++i) {
        const qint64 id = 1600000000000LL + static_cast<qint64>(i) * 977;
        QValue value(Json::objectValue);
        value["id"] = static_cast<Json::Int64>(id);
        value["file_name"] = QStringLiteral("第%1课.vep").arg(i).toStdString();
        value["file_path"] = std::string("/v/");
        value["file_size"] = i / 3.0;
        value["file_type"] = 7u;
        value["time"] = static_cast<Json::Int>(id / 1000);
        expected[std::to_string(id)] = value;
    }
    const QByteArray text = toStyledByteArray(expected, false);
    ASSERT_TRUE(testsupport::makeFifo(m_file));
    const QString output = m_dir + QStringLiteral("新的一课.vep");
    writeSized(output, 1024 * 1024);

    QRecords records(m_dir + QStringLiteral("none.json"));
    std::atomic<int> loaded {0};
    QObject::connect(&records, &QRecords::loaded, [&loaded]() { ++loaded; });
    records.reopen(m_file, QRecords::Reading::InBackground);
    EXPECT_FALSE(records.isLoaded());
    EXPECT_TRUE(records.save());
    EXPECT_FALSE(QFileInfo(m_file).isFile()) << "written before it was read";

    // Three workers are adding (each has taken its record's time) before a byte is read.
    std::atomic<int> adding {0};
    QRecords::setClock([&adding]() {
        ++adding;
        return static_cast<qint64>(1900000000);
    });
    std::vector<record_ptr> added(3);
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w)
        workers.emplace_back([&, w]() { added[static_cast<size_t>(w)] = records.addRecord(output, 8); });
    const bool allAdding = testsupport::waitUntil([&]() { return adding == 3; }, 30000);
    QRecords::setClock(nullptr);
    const bool fed = testsupport::feedFifo(m_file, text, 30000);
    for (std::thread &worker : workers)
        worker.join();
    ASSERT_TRUE(allAdding);
    ASSERT_TRUE(fed);
    ASSERT_TRUE(testsupport::waitUntil([&]() { return loaded == 1; }, 30000));

    EXPECT_EQ(records.count(), 20003);
    std::set<qint64> ids;
    for (const record_ptr &record : added) {
        ASSERT_NE(record, nullptr);
        ids.insert(record->id());
        expected[std::to_string(record->id())] = record->toJson();
    }
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_EQ(testsupport::readAll(m_file), toStyledByteArray(expected, false));
    EXPECT_EQ(loaded, 1);
    // Newest first: the three new ones, the highest id on top, then the history from its end.
    const QVector<record_ptr> shown = records.newestFirst();
    ASSERT_EQ(shown.size(), 20003);
    EXPECT_EQ(shown[0]->id(), *ids.rbegin());
    EXPECT_EQ(shown[2]->id(), *ids.begin());
    EXPECT_EQ(shown[3]->id(), 1600000000000LL + 19999LL * 977);
    EXPECT_EQ(shown.last()->id(), 1600000000000LL);
}
