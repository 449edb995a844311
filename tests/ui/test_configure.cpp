#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>

#include <gtest/gtest.h>

#include "commonfun.h"
#include "platformserver.h"
#include "qconfiguredialog.h"
#include "qdtacourse.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    class UiConfigure : public ::testing::Test
    {
    protected:
        UiTestEnv env;

        template<typename T>
        static T *child(QWidget *dialog, const char *name)
        {
            return dialog->findChild<T *>(QString::fromLatin1(name));
        }
        static bool marked(QWidget *dialog, const char *frame)
        {
            return child<QFrame>(dialog, frame)->property("checked").toBool();
        }
        // Exactly the radio button of the marked frame is checked.
        static void expectOneRadio(QWidget *dialog, const char *frame)
        {
            const std::pair<const char *, const char *> radios[] = {
                {"frameWeb", "radioWeb"}, {"frameFast", "radioFast"}, {"frameCodec", "radioCodec"}};
            for (const auto &r : radios)
                EXPECT_EQ(child<QRadioButton>(dialog, r.second)->isChecked(), std::string(r.first) == frame)
                    << frame << " " << r.second;
        }
        static QListWidget *courses(QWidget *dialog) { return child<QListWidget>(dialog, "listWidgetCourse"); }
        static void setStored(const char *key, int value)
        {
            CommonFun::setSetting(QStringLiteral("config"), QString::fromLatin1(key), value);
        }
        static int stored(const char *key)
        {
            return CommonFun::getSettingInt(QStringLiteral("config"), QString::fromLatin1(key), -100);
        }
    };

    QList<QDtaCourse> makeCourses(int n)
    {
        QList<QDtaCourse> list;
        for (int i = 0; i < n; ++i)
        {
            QDtaCourse course;
            course.setId(QString::number(100 + i));
            course.setName(QStringLiteral("课程%1").arg(i));
            course.setCtime(1700000000 + i);
            list << course;
        }
        return list;
    }
}

// First use: re-encode mode, the default qualities, and those choices written back.
TEST_F(UiConfigure, FirstUseDefaults)
{
    QConfigureDialog dialog;
    EXPECT_EQ(child<QStackedWidget>(&dialog, "stackedWidgetConfigure")->currentIndex(), 0);
    EXPECT_TRUE(marked(&dialog, "frameCodec"));
    EXPECT_FALSE(marked(&dialog, "frameFast"));
    EXPECT_FALSE(marked(&dialog, "frameWeb"));
    EXPECT_TRUE(child<QRadioButton>(&dialog, "radioCodec")->isChecked());
    EXPECT_EQ(child<QComboBox>(&dialog, "comboBoxVideoBitrate")->currentText(), QStringLiteral("良好 768kbps"));
    EXPECT_EQ(child<QComboBox>(&dialog, "comboBoxAudioBitrate")->currentText(), QStringLiteral("良好 128kbps"));
    EXPECT_EQ(child<QComboBox>(&dialog, "comboBoxResolution")->currentText(), QStringLiteral("原始"));
    EXPECT_EQ(child<QComboBox>(&dialog, "comboBoxWeb")->currentText(), QStringLiteral("无需转码"));
    EXPECT_EQ(dialog.config().encryptType(), 8);
    EXPECT_EQ(dialog.config().codecQuality(), QStringLiteral("samplerate=48000,vb=768,ab=128"));
    EXPECT_FALSE(dialog.config().autoConvert());
    EXPECT_EQ(stored("encrypt_model"), 8);
    EXPECT_EQ(stored("video_bitrate"), 3);
    EXPECT_EQ(stored("audio_bitrate"), 3);
    EXPECT_EQ(stored("resolution"), 0);
    EXPECT_EQ(stored("web_quality"), 0);
}

// The stored mode decides the marked frame and the mode returned; an unknown one falls back
// to re-encoding.
TEST_F(UiConfigure, StoredModes)
{
    struct Case
    {
        int storedMode;
        int mode;
        const char *frame;
    };
    const Case cases[] = {{4, 4, "frameWeb"}, {7, 7, "frameFast"}, {8, 8, "frameCodec"}, {5, 8, "frameCodec"}, {-1, 8, "frameCodec"}};
    for (const Case &c : cases)
    {
        setStored("encrypt_model", c.storedMode);
        QConfigureDialog dialog;
        EXPECT_EQ(dialog.config().encryptType(), c.mode) << c.storedMode;
        for (const char *frame : {"frameWeb", "frameFast", "frameCodec"})
            EXPECT_EQ(marked(&dialog, frame), std::string(frame) == c.frame) << c.storedMode << " " << frame;
        expectOneRadio(&dialog, c.frame);
        EXPECT_EQ(stored("encrypt_model"), c.mode);
    }
}

// Quality choices make the transcode options, are remembered, and come back next time.
TEST_F(UiConfigure, QualityChoicesAndTheirMemory)
{
    {
        QConfigureDialog dialog;
        child<QComboBox>(&dialog, "comboBoxResolution")->setCurrentIndex(8);
        child<QComboBox>(&dialog, "comboBoxVideoBitrate")->setCurrentIndex(2);
        child<QComboBox>(&dialog, "comboBoxAudioBitrate")->setCurrentIndex(2);
        EXPECT_EQ(dialog.config().codecQuality(), QStringLiteral("samplerate=48000,vb=512,ab=64,scale=1.75,width=1280,height=720"));

        child<QComboBox>(&dialog, "comboBoxWeb")->setCurrentIndex(3);
        EXPECT_TRUE(dialog.config().autoConvert());
        EXPECT_EQ(dialog.config().webQuality(), QStringLiteral("-b:v 512k"));
        child<QComboBox>(&dialog, "comboBoxWeb")->setCurrentIndex(0);
        EXPECT_FALSE(dialog.config().autoConvert());
        EXPECT_EQ(dialog.config().webQuality(), QStringLiteral("-b:v 512k"));
        child<QComboBox>(&dialog, "comboBoxWeb")->setCurrentIndex(1);
        EXPECT_TRUE(dialog.config().autoConvert());
        EXPECT_TRUE(dialog.config().webQuality().isEmpty());

        // A press anywhere on the fast frame picks fast mode.
        dialog.show();
        child<QPushButton>(&dialog, "btnNext")->click();
        QTest::mouseClick(child<QFrame>(&dialog, "frameFast"), Qt::LeftButton, Qt::NoModifier, QPoint(200, 60));
        EXPECT_EQ(dialog.config().encryptType(), 7);
        EXPECT_TRUE(marked(&dialog, "frameFast"));
        EXPECT_FALSE(marked(&dialog, "frameCodec"));
        expectOneRadio(&dialog, "frameFast");
        // Back to re-encoding by its radio button: only that one stays checked.
        child<QRadioButton>(&dialog, "radioCodec")->click();
        EXPECT_EQ(dialog.config().encryptType(), 8);
        expectOneRadio(&dialog, "frameCodec");
        child<QRadioButton>(&dialog, "radioFast")->click();
    }
    QConfigureDialog again;
    EXPECT_EQ(again.config().encryptType(), 7);
    EXPECT_EQ(again.config().codecQuality(), QStringLiteral("samplerate=48000,vb=512,ab=64,scale=1.75,width=1280,height=720"));
    EXPECT_TRUE(again.config().autoConvert());

    // Every list on "原始", or a stored index beyond a list: only the sample rate is left.
    setStored("video_bitrate", 0);
    setStored("audio_bitrate", 17);
    setStored("resolution", 0);
    QConfigureDialog plain;
    EXPECT_EQ(child<QComboBox>(&plain, "comboBoxAudioBitrate")->currentIndex(), -1);
    EXPECT_EQ(plain.config().codecQuality(), QStringLiteral("samplerate=48000"));
}

// Whatever the lists can be set to gives quality texts that a restored job may carry.
TEST_F(UiConfigure, EveryQualityChoiceIsOneARestoredJobMayCarry)
{
    QConfigureDialog dialog;
    QComboBox *web = child<QComboBox>(&dialog, "comboBoxWeb");
    QComboBox *video = child<QComboBox>(&dialog, "comboBoxVideoBitrate");
    QComboBox *audio = child<QComboBox>(&dialog, "comboBoxAudioBitrate");
    QComboBox *resolution = child<QComboBox>(&dialog, "comboBoxResolution");
    EXPECT_EQ(web->count(), 6);
    for (int w = 0; w < web->count(); ++w)
    {
        web->setCurrentIndex(w);
        EXPECT_TRUE(QDtaConfig::isValidWebQuality(dialog.config().webQuality())) << w;
    }
    int combinations = 0;
    for (int v = 0; v < video->count(); ++v)
        for (int a = 0; a < audio->count(); ++a)
            for (int r = 0; r < resolution->count(); ++r)
            {
                video->setCurrentIndex(v);
                audio->setCurrentIndex(a);
                resolution->setCurrentIndex(r);
                ++combinations;
                EXPECT_TRUE(QDtaConfig::isValidCodecQuality(dialog.config().codecQuality()))
                    << dialog.config().codecQuality().toStdString();
            }
    EXPECT_EQ(combinations, 5 * 5 * 9);
}

// 25 courses with row 12 selected arrive in steps of ten; the selected course is the result's.
TEST_F(UiConfigure, CourseListLoadsInSteps)
{
    QConfigureDialog dialog;
    QListWidget *list = courses(&dialog);
    auto *loaded = child<QLabel>(&dialog, "labelLoadNum");
    dialog.loadCourseList(makeCourses(25), 12);
    EXPECT_EQ(list->count(), 0);
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() == 10; }, 2000));
    EXPECT_EQ(loaded->text(), QStringLiteral("已加载10项"));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() == 20; }, 2000));
    EXPECT_EQ(list->currentRow(), 12);
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() == 25; }, 2000));
    EXPECT_EQ(loaded->text(), QStringLiteral("已加载25项"));
    EXPECT_EQ(dialog.config().courseId(), QStringLiteral("112"));
    EXPECT_EQ(dialog.config().courseName(), QStringLiteral("课程12"));
    EXPECT_EQ(list->item(0)->sizeHint(), QSize(720, 40));
}

// The course search of a signed-in teacher, and Return through both pages to the result.
TEST_F(UiConfigure, SearchPagesAndConfirm)
{
    env.signInDemo();
    QConfigureDialog dialog;
    QListWidget *list = courses(&dialog);
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() == 2; }, 5000));
    list->setCurrentRow(1);
    EXPECT_EQ(dialog.config().courseId(), QStringLiteral("13"));
    EXPECT_EQ(dialog.config().courseName(), QStringLiteral("Web 模式演示"));

    QSignalSpy finished(&dialog, SIGNAL(finished(int)));
    dialog.show();
    dialog.setFocus();
    QTest::keyClick(&dialog, Qt::Key_Return);
    EXPECT_EQ(child<QStackedWidget>(&dialog, "stackedWidgetConfigure")->currentIndex(), 1);
    EXPECT_FALSE(child<QFrame>(&dialog, "frameSearch")->isVisible());
    EXPECT_EQ(child<QLabel>(&dialog, "labelToolTip")->text(), QStringLiteral("请选择视频的加密模式"));
    child<QPushButton>(&dialog, "btnReturn")->click();
    EXPECT_EQ(child<QStackedWidget>(&dialog, "stackedWidgetConfigure")->currentIndex(), 0);
    EXPECT_EQ(child<QLabel>(&dialog, "labelToolTip")->text(), QStringLiteral("视频文件属于哪个课程？"));
    child<QPushButton>(&dialog, "btnNext")->click();
    QTest::keyClick(&dialog, Qt::Key_Enter, Qt::KeypadModifier);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).toInt(), 1);
}

// A slow earlier search answering after a later one never changes the list: the latest wins.
TEST_F(UiConfigure, LatestSearchWins)
{
    env.signInDemo();
    Fault slow;
    slow.delayMs = 700;
    slow.count = 1;
    env.server()->setFault("Teacher/teacherVideoList", slow);
    QConfigureDialog dialog;
    QListWidget *list = courses(&dialog);
    dialog.show();
    auto *edit = child<QLineEdit>(&dialog, "lineEdit");
    edit->setText(QStringLiteral("Web"));
    child<QPushButton>(&dialog, "btnSearch")->click();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() == 1; }, 5000));
    env.deliverPendingReplies();
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(list->item(0)->data(Qt::ToolTipRole).toString(), QStringLiteral("Web 模式演示"));
    EXPECT_EQ(env.server()->requests("Teacher/teacherVideoList").size(), 2u);

    // A second search within 500 ms is dropped.
    child<QPushButton>(&dialog, "btnSearch")->click();
    child<QPushButton>(&dialog, "btnSearch")->click();
    env.deliverPendingReplies();
    EXPECT_EQ(env.server()->requests("Teacher/teacherVideoList").size(), 3u);
}

// A course created from the dialog goes to the top of the list without taking the selection;
// a refused creation shows the server's text and leaves the list alone.
TEST_F(UiConfigure, CreateCourseFromTheDialog)
{
    env.signInDemo();
    QConfigureDialog dialog;
    QListWidget *list = courses(&dialog);
    dialog.show();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() == 2; }, 5000));
    list->setCurrentRow(1);

    QStringList messages;
    ModalAnswer answer([&](QWidget *w) {
        if (auto *edit = w->findChild<QLineEdit *>(QStringLiteral("editCourseName")))
        {
            edit->setText(QStringLiteral("  新课程  "));
            return clickButton(w, "btnOk");
        }
        messages << messageText(w);
        return clickButton(w, "btnOk");
    });
    // The answer is held back: meanwhile the dialog says it waits, and neither creating
    // again nor going on is possible.
    Fault slow;
    slow.delayMs = 1500;
    slow.count = 1;
    env.server()->setFault("Video/CreateVideo", slow);
    child<QPushButton>(&dialog, "btnCreateCourse")->click();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return dialog.isCreatingCourse(); }, 5000));
    EXPECT_FALSE(child<QPushButton>(&dialog, "btnCreateCourse")->isEnabled());
    EXPECT_FALSE(child<QPushButton>(&dialog, "btnNext")->isEnabled());
    EXPECT_FALSE(child<QPushButton>(&dialog, "btnOk")->isEnabled());
    EXPECT_EQ(child<QLabel>(&dialog, "labelLoadNum")->text(), QStringLiteral("正在创建课程…"));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() == 3; }, 5000));
    EXPECT_FALSE(dialog.isCreatingCourse());
    EXPECT_TRUE(child<QPushButton>(&dialog, "btnNext")->isEnabled());
    EXPECT_EQ(list->item(0)->data(Qt::ToolTipRole).toString(), QStringLiteral("新课程"));
    // The id is the one the server gave the new course, and the new course is the chosen one.
    const QString newId = list->item(0)->data(Qt::StatusTipRole).toString();
    EXPECT_GT(newId.toLongLong(), 0);
    EXPECT_EQ(list->currentRow(), 0);
    EXPECT_EQ(dialog.config().courseId(), newId);
    EXPECT_EQ(dialog.config().courseName(), QStringLiteral("新课程"));
    EXPECT_EQ(child<QLabel>(&dialog, "labelLoadNum")->text(), QStringLiteral("已加载3项"));
    const auto created = env.server()->requests("Video/CreateVideo");
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created.front().innerValue("CourseName"), "新课程");
    EXPECT_EQ(created.front().innerValue("Price"), "0");

    Fault refuse;
    refuse.patch["code"] = 1;
    refuse.patch["msg"] = "课程已存在";
    refuse.count = 1;
    env.server()->setFault("Video/CreateVideo", refuse);
    child<QPushButton>(&dialog, "btnCreateCourse")->click();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return !messages.isEmpty(); }, 5000));
    EXPECT_EQ(messages, QStringList {QStringLiteral("课程已存在")});
    EXPECT_EQ(list->count(), 3);
}
