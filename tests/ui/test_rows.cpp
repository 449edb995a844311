#include <functional>
#include <memory>
#include <vector>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "qdtacourse.h"
#include "qdtaconfig.h"
#include "qdtarecord.h"
#include "qfilework.h"
#include "qitemcoursewidget.h"
#include "qitemrecordwidget.h"
#include "qitemuploadwidget.h"
#include "qitemvideowidget.h"
#include "qvalue.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    class UiRows : public ::testing::Test
    {
    protected:
        UiTestEnv env {false};

        std::unique_ptr<QFileWork> makeWork()
        {
            QDtaConfig config;
            config.setCourseId(QStringLiteral("12"));
            config.setEncryptType(7);
            return std::make_unique<QFileWork>(testsupport::clipH264Mp4(), config);
        }

        static QString tip(QWidget *row) { return row->findChild<QLabel *>(QStringLiteral("labelTip"))->text(); }
        static QProgressBar *bar(QWidget *row) { return row->findChild<QProgressBar *>(QStringLiteral("progressBarUpload")); }
        static QLabel *marker(QWidget *row) { return row->findChild<QLabel *>(QStringLiteral("labelError")); }
    };
}

// Progress reports change the stage text once per new stage and always move the bar.
TEST_F(UiRows, UploadRowFollowsStagesAndProgress)
{
    auto work = makeWork();
    QItemUploadWidget row(work.get());
    EXPECT_EQ(row.id(), work->id());
    EXPECT_EQ(tip(&row), QStringLiteral("等待上传"));
    EXPECT_EQ(bar(&row)->property("status").toString(), QStringLiteral("normal"));
    EXPECT_EQ(marker(&row)->property("status").toString(), QStringLiteral("none"));
    EXPECT_EQ(row.findChild<QLabel *>(QStringLiteral("labelUploadVideoName"))->text(), QStringLiteral("h264-320x240-3s.mp4"));

    struct Step
    {
        int stage;
        int percent;
        const char *text;
    };
    const Step steps[] = {{1, 5, "等待上传"}, {2, 10, "正在加密"}, {2, 40, "正在加密"}, {3, 10, "正在上传"}, {0, 70, "正在转码"}, {9, 80, "正在转码"}};
    for (const Step &s : steps)
    {
        emit work->signal_progress(s.stage, s.percent);
        EXPECT_EQ(bar(&row)->value(), s.percent);
        EXPECT_EQ(tip(&row), QString::fromUtf8(s.text)) << "stage " << s.stage;
    }
    emit work->signal_complete();
    EXPECT_EQ(bar(&row)->value(), 100);
    EXPECT_EQ(tip(&row), QStringLiteral("已完成"));
}

// The error shows 20 ms later with its message as the marker's tool tip; a retry the pool
// refuses (this job is not in the pool) changes nothing.
TEST_F(UiRows, UploadRowShowsErrorLaterAndKeepsItOnRefusedRetry)
{
    auto work = makeWork();
    QItemUploadWidget row(work.get());
    emit work->signal_progress(2, 30);
    emit work->signal_error(QStringLiteral("获取授权码失败"));
    EXPECT_EQ(tip(&row), QStringLiteral("正在加密"));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return tip(&row) == QStringLiteral("上传失败"); }, 2000));
    EXPECT_EQ(marker(&row)->toolTip(), QStringLiteral("获取授权码失败"));
    EXPECT_EQ(marker(&row)->property("status").toString(), QStringLiteral("error"));
    EXPECT_EQ(bar(&row)->property("status").toString(), QStringLiteral("error"));
    // The bar says the job failed, not the percent at which it stopped.
    EXPECT_EQ(bar(&row)->text(), QStringLiteral("失败"));
    EXPECT_EQ(bar(&row)->value(), bar(&row)->maximum());

    row.findChild<QPushButton *>(QStringLiteral("btnReEncrypt"))->click();
    EXPECT_EQ(tip(&row), QStringLiteral("上传失败"));
    EXPECT_EQ(bar(&row)->property("status").toString(), QStringLiteral("error"));
    EXPECT_EQ(bar(&row)->text(), QStringLiteral("失败"));
}

// A stage's note (why a Web job is transcoded) shows beside the size at once, the whole note as
// its tool tip; a later failure is told in its place and a note never hides it.
TEST_F(UiRows, UploadRowShowsTheStageNoteUntilAFailure)
{
    auto work = makeWork();
    QItemUploadWidget row(work.get());
    QLabel *size = row.findChild<QLabel *>(QStringLiteral("labelUploadSize"));
    const QString plain = size->text();
    const QString note = QStringLiteral("画面带有90度旋转，浏览器无法直接播放，已自动转码");
    emit work->signal_note(note);
    EXPECT_TRUE(size->text().startsWith(plain)) << size->text().toStdString();
    EXPECT_TRUE(size->text().contains(QStringLiteral("画面带有"))) << size->text().toStdString();
    EXPECT_EQ(size->toolTip(), note);
    emit work->signal_progress(0, 30);
    EXPECT_EQ(tip(&row), QStringLiteral("正在转码"));
    EXPECT_TRUE(size->text().contains(QStringLiteral("画面带有")));

    emit work->signal_error(QStringLiteral("ffmpeg处理失败"));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return tip(&row) == QStringLiteral("上传失败"); }, 2000));
    EXPECT_TRUE(size->text().contains(QStringLiteral("失败原因：ffmpeg处理失败"))) << size->text().toStdString();
    emit work->signal_note(note);
    EXPECT_TRUE(size->text().contains(QStringLiteral("失败原因"))) << "a note never hides the failure";
}

// A row removed before its deferred error display runs takes its display with it: the row beside
// it on the same job, whose display is queued after the removed one's, still shows the error.
TEST_F(UiRows, UploadRowRemovedBeforeErrorDisplayLeavesTheOtherRowShowingIt)
{
    auto work = makeWork();
    auto *row = new QItemUploadWidget(work.get());
    QItemUploadWidget other(work.get());
    emit work->signal_error(QStringLiteral("失败"));
    delete row;
    ASSERT_TRUE(testsupport::waitUntil([&]() { return tip(&other) == QStringLiteral("上传失败"); }, 2000));
    EXPECT_EQ(marker(&other)->toolTip(), QStringLiteral("失败"));
}

TEST_F(UiRows, UploadRowCancelAsksTheOwner)
{
    auto work = makeWork();
    QItemUploadWidget row(work.get());
    QSignalSpy removal(&row, SIGNAL(itemRemove(qlonglong)));
    row.findChild<QPushButton *>(QStringLiteral("btnCancelUpload"))->click();
    ASSERT_EQ(removal.count(), 1);
    EXPECT_EQ(removal.at(0).at(0).toLongLong(), work->id());
}

TEST_F(UiRows, RecordModeTexts)
{
    const std::pair<uint32_t, const char *> modes[] = {
        {4, "Web加密模式"}, {7, "快速加密模式"}, {8, "高强度重编码加密"}, {5, "未知加密模式"}, {0, "未知加密模式"}};
    for (const auto &m : modes)
        EXPECT_EQ(QItemRecordWidget::modeText(m.first), QString::fromUtf8(m.second)) << m.first;
}

TEST_F(UiRows, RecordRowShowsTheRecord)
{
    auto record = std::make_shared<QDtaRecord>();
    record->setId(42);
    // The record holds the short name already: a name that looks like a key stays whole.
    record->setFileName(QStringLiteral("2024_03_01_第一课.vep"));
    record->setFilePath(env.tempDir());
    record->setTime(1700000000);
    record->setFileSize(1024.004);
    record->setFileType(7);
    QItemRecordWidget row(record);
    EXPECT_EQ(row.id(), 42);
    EXPECT_EQ(row.findChild<QLabel *>(QStringLiteral("labelRecordVideoName"))->text(), QStringLiteral("2024_03_01_第一课.vep"));
    EXPECT_EQ(row.findChild<QLabel *>(QStringLiteral("labelFileType"))->text(), QStringLiteral("快速加密模式"));
    EXPECT_EQ(row.findChild<QLabel *>(QStringLiteral("labelRecordVideoSize"))->text(), QStringLiteral("1.00G"));
    EXPECT_EQ(row.findChild<QLabel *>(QStringLiteral("labelRecordTime"))->text(),
              QDateTime::fromSecsSinceEpoch(1700000000).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
}

// The open-folder buttons of both rows tell the user when the folder is gone.
TEST_F(UiRows, OpenFolderOfMissingFolderShowsNotice)
{
    auto record = std::make_shared<QDtaRecord>();
    record->setFileName(QStringLiteral("x.vep"));
    record->setFilePath(env.tempDir() + QStringLiteral("gone/"));
    QItemRecordWidget recordRow(record);

    QStringList notices;
    ModalAnswer answer([&](QWidget *w) {
        notices << messageText(w);
        clickButton(w, "btnOk");
        return true;
    });
    recordRow.onBtnOpenFolder();
    EXPECT_EQ(notices, QStringList {QStringLiteral("文件目录不存在!")});

    QItemUploadWidget uploadRow;
    uploadRow.onBtnOpenFolder();
    EXPECT_EQ(notices.value(1), QStringLiteral("目录不存在!"));
}

TEST_F(UiRows, CourseRowShowsNameAndTime)
{
    QDtaCourse course;
    course.setName(QStringLiteral("视频加密入门"));
    course.setCtime(0);
    QItemCourseWidget row;
    row.setData(course);
    EXPECT_EQ(row.findChild<QLabel *>(QStringLiteral("labelItemName"))->text(), QStringLiteral("视频加密入门"));
    EXPECT_EQ(row.findChild<QLabel *>(QStringLiteral("labelItemTag"))->text(), QStringLiteral("默认分类"));
    EXPECT_EQ(row.findChild<QLabel *>(QStringLiteral("labelItemTime"))->text(),
              QDateTime::fromSecsSinceEpoch(0).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
}

// Long names are cut with "…" inside their label, whole in the tool tip; short ones stay whole.
TEST_F(UiRows, LongNamesAreElidedWithTheWholeNameInTheToolTip)
{
    const QString longName = QStringLiteral("第三单元 函数的单调性与最值（含例题精讲、课堂练习与课后作业讲评）第二讲 完整版 2026 秋季学期.mp4");
    const QString shortName = QStringLiteral("第一课.mp4");
    const QString folder = env.tempDir() + QStringLiteral("long/");
    QDir().mkpath(folder);
    for (const QString &name : {longName, shortName})
        ASSERT_TRUE(QFile::copy(testsupport::clipH264Mp4(), folder + name));
    QDtaConfig config;
    config.setCourseId(QStringLiteral("12"));
    config.setEncryptType(7);

    std::vector<std::unique_ptr<QWidget>> keep;
    std::vector<std::unique_ptr<QFileWork>> works;
    const auto upload = [&](const QString &name) {
        works.push_back(std::make_unique<QFileWork>(folder + name, config));
        keep.push_back(std::make_unique<QItemUploadWidget>(works.back().get()));
        return keep.back()->findChild<QLabel *>(QStringLiteral("labelUploadVideoName"));
    };
    const auto course = [&](const QString &name) {
        QDtaCourse c;
        c.setName(name);
        auto *row = new QItemCourseWidget;
        keep.emplace_back(row);
        row->setData(c);
        return row->findChild<QLabel *>(QStringLiteral("labelItemName"));
    };
    const auto video = [&](const QString &name) {
        QValue data;
        data["video_name"] = name.toStdString();
        auto *row = new QItemVideoWidget;
        keep.emplace_back(row);
        row->setData(data);
        EXPECT_EQ(row->name(), name) << "the row keeps the whole name";
        return row->findChild<QLabel *>(QStringLiteral("labelVideoName"));
    };
    for (const auto &make : std::vector<std::function<QLabel *(const QString &)>> {upload, course, video})
    {
        QLabel *cut = make(longName);
        ASSERT_NE(cut, nullptr);
        EXPECT_TRUE(cut->text().contains(QChar(0x2026))) << cut->objectName().toStdString();
        EXPECT_LE(cut->fontMetrics().horizontalAdvance(cut->text()), cut->maximumWidth());
        EXPECT_EQ(cut->toolTip(), longName);
        QLabel *whole = make(shortName);
        EXPECT_EQ(whole->text(), shortName);
        EXPECT_EQ(whole->toolTip(), shortName);
    }
}
