#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "commonfun.h"
#include "platformserver.h"
#include "qconfiguredialog.h"
#include "qlogindialog.h"
#include "qmainwidget.h"
#include "qrecords.h"
#include "quser.h"
#include "qworkpool.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    // Answers the settings dialog: first course, the given mode, confirm. Other boxes: OK.
    class SettingsAnswer
    {
    public:
        explicit SettingsAnswer(const char *modeRadio = "radioFast")
            : m_answer([this, modeRadio](QWidget *w) {
                if (!qobject_cast<QConfigureDialog *>(w))
                {
                    m_messages << messageText(w);
                    return clickButton(w, "btnOk");
                }
                if (!answerSettings(w, modeRadio))
                    return false;
                ++m_dialogs;
                return true;
            })
        {
        }
        int dialogs() const { return m_dialogs; }
        QStringList messages() const { return m_messages; }

    private:
        int m_dialogs = 0;
        QStringList m_messages;
        ModalAnswer m_answer;
    };

    class UiMainWindow : public ::testing::Test
    {
    protected:
        explicit UiMainWindow(int threads = 1)
            : env(true, threads)
        {
            env.signInDemo();
            window.reset(new QMainWidget(nullptr));
            window->start();
            window->show();
        }

        // A private copy of the clip, so that the output lands in this test's folder.
        QString sourceClip(const QString &name = QStringLiteral("lesson.mp4"))
        {
            const QString path = env.tempDir() + name;
            QFile::copy(testsupport::clipH264Mp4(), path);
            return path;
        }

        QWidget *uploadRow(int row = 0)
        {
            QListWidget *list = window->form().listWidgetUpload;
            return row < list->count() ? list->itemWidget(list->item(row)) : nullptr;
        }

        static QString tip(QWidget *row)
        {
            return row ? row->findChild<QLabel *>(QStringLiteral("labelTip"))->text() : QString();
        }

        UiTestEnv env;
        std::unique_ptr<QMainWidget> window;
    };

    class UiMainWindowIdle : public UiMainWindow
    {
    protected:
        UiMainWindowIdle()
            : UiMainWindow(0)
        {
        }
    };
}

TEST_F(UiMainWindow, StartsOnTheEmptyUploadPage)
{
    Ui::QMainWidgetClass &ui = window->form();
    EXPECT_EQ(ui.stackedWidgetMain->currentIndex(), 1);
    EXPECT_TRUE(ui.btnTabUpload->isChecked());
    EXPECT_EQ(ui.stackedWidgetUpload->currentIndex(), 0);
    EXPECT_EQ(ui.stackedWidgetRecord->currentIndex(), 0);
    EXPECT_FALSE(ui.btnTabCourse->isVisible());
    EXPECT_EQ(ui.labelVersion->text(), QStringLiteral("v6.01"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Tarvex视频加密系统"));
    EXPECT_EQ(ui.progressSpace->property("nav").toString(), QStringLiteral("all"));
}

// The whole road of one video: dropped on the window, settings chosen, encrypted by sorbin,
// "已完成" on its row, the ".vep" beside the source and a history row on the record page.
TEST_F(UiMainWindow, DroppedVideoRunsThroughThePipeline)
{
    const QString source = sourceClip();
    SettingsAnswer answer;
    emit window->dropList({QUrl::fromLocalFile(source), QUrl(QStringLiteral("https://example.invalid/remote.mp4"))});
    ASSERT_EQ(answer.dialogs(), 1);
    ASSERT_EQ(window->form().listWidgetUpload->count(), 1) << "only the local file becomes a job";
    ASSERT_TRUE(testsupport::waitUntil([&]() { return tip(uploadRow()) == QStringLiteral("已完成"); }, 60000))
        << tip(uploadRow()).toStdString();
    EXPECT_EQ(window->form().stackedWidgetUpload->currentIndex(), 1);

    const QStringList outputs = QDir(env.tempDir()).entryList({QStringLiteral("*.vep")}, QDir::Files);
    ASSERT_EQ(outputs, QStringList {QStringLiteral("lesson.vep")});
    EXPECT_TRUE(QFile::exists(source));

    Ui::QMainWidgetClass &ui = window->form();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return ui.listWidgetRecord->count() == 1; }, 5000));
    ui.btnTabRecord->click();
    EXPECT_EQ(ui.stackedWidgetMain->currentIndex(), 2);
    EXPECT_EQ(ui.stackedWidgetRecord->currentIndex(), 1);
    EXPECT_EQ(ui.labelRecordNum->text(), QStringLiteral("1"));
    QWidget *record = ui.listWidgetRecord->itemWidget(ui.listWidgetRecord->item(0));
    EXPECT_EQ(record->findChild<QLabel *>(QStringLiteral("labelRecordVideoName"))->text(), QStringLiteral("lesson.vep"));
    EXPECT_EQ(record->findChild<QLabel *>(QStringLiteral("labelFileType"))->text(), QStringLiteral("快速加密模式"));

    // Deleting the record removes its row and brings back the empty page.
    record->findChild<QPushButton *>(QStringLiteral("btnDelRecord"))->click();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return ui.listWidgetRecord->count() == 0; }, 2000));
    EXPECT_EQ(ui.stackedWidgetRecord->currentIndex(), 0);
    EXPECT_EQ(ui.labelRecordNum->text(), QStringLiteral("0"));
    EXPECT_EQ(QRecords::instance()->count(), 0);
}

// A job that fails offers the retry; pressed twice, it runs once more and completes.
TEST_F(UiMainWindow, FailedJobRetries)
{
    Fault refuse;
    refuse.patch["code"] = 1;
    refuse.patch["msg"] = "授权码获取失败";
    refuse.count = 1;
    env.server()->setFault("Video/getAuthCode", refuse);

    SettingsAnswer answer;
    emit window->dropList({QUrl::fromLocalFile(sourceClip())});
    ASSERT_TRUE(testsupport::waitUntil([&]() { return tip(uploadRow()) == QStringLiteral("上传失败"); }, 60000));
    QWidget *row = uploadRow();
    EXPECT_FALSE(row->findChild<QLabel *>(QStringLiteral("labelError"))->toolTip().isEmpty());

    auto *retry = row->findChild<QPushButton *>(QStringLiteral("btnReEncrypt"));
    retry->click();
    retry->click();
    EXPECT_NE(tip(row), QStringLiteral("上传失败"));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return tip(row) == QStringLiteral("已完成"); }, 60000)) << tip(row).toStdString();
    env.deliverPendingReplies();
    EXPECT_EQ(env.server()->requests("Video/getAuthCode").size(), 2u);
    EXPECT_EQ(QRecords::instance()->count(), 1);
    EXPECT_EQ(QDir(env.tempDir()).entryList({QStringLiteral("*.vep")}, QDir::Files).size(), 1);
}

// A sorbin that crashes fails the job on its row, nothing else; with a working one the retry
// completes it.
TEST_F(UiMainWindow, CrashingChildFailsTheJobOnly)
{
    const QString crasher = env.tempDir() + QStringLiteral("crashing-sorbin");
    ASSERT_TRUE(testsupport::writeAll(crasher, "#!/bin/sh\nkill -SEGV $$\n"));
    QFile::setPermissions(crasher, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("VANTREL_SORBIN", crasher.toUtf8());

    SettingsAnswer answer;
    const QString source = sourceClip();
    emit window->dropList({QUrl::fromLocalFile(source)});
    ASSERT_TRUE(testsupport::waitUntil([&]() { return tip(uploadRow()) == QStringLiteral("上传失败"); }, 60000));
    EXPECT_TRUE(QFile::exists(source));
    EXPECT_TRUE(QDir(env.tempDir()).entryList({QStringLiteral("*.vep")}, QDir::Files).isEmpty());
    EXPECT_EQ(QRecords::instance()->count(), 0);

    qputenv("VANTREL_SORBIN", QByteArray(VANTREL_BIN_DIR) + "sorbin");
    uploadRow()->findChild<QPushButton *>(QStringLiteral("btnReEncrypt"))->click();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return tip(uploadRow()) == QStringLiteral("已完成"); }, 60000));
    EXPECT_EQ(QDir(env.tempDir()).entryList({QStringLiteral("*.vep")}, QDir::Files).size(), 1);
}

// Removing the last job asks first, then drops the row, the job and the total progress.
TEST_F(UiMainWindowIdle, RemovingTheLastJob)
{
    SettingsAnswer answer;
    emit window->dropList({QUrl::fromLocalFile(sourceClip())});
    ASSERT_EQ(window->form().listWidgetUpload->count(), 1);
    // The page of jobs comes up a moment after the row.
    EXPECT_TRUE(testsupport::waitUntil([&]() { return window->form().stackedWidgetUpload->currentIndex() == 1; }, 3000));

    window->form().progressUploadTotal->setValue(40);
    uploadRow()->findChild<QPushButton *>(QStringLiteral("btnCancelUpload"))->click();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return window->form().listWidgetUpload->count() == 0; }, 3000));
    EXPECT_EQ(answer.messages(), QStringList {QStringLiteral("确定删除该任务?")});
    EXPECT_EQ(QWorkPool::instance()->count(), 0);
    EXPECT_EQ(window->form().progressUploadTotal->value(), 0);
    EXPECT_EQ(window->form().stackedWidgetUpload->currentIndex(), 0);

    // "删除文件" without a selected row says so.
    window->form().btnDelFile->click();
    EXPECT_EQ(answer.messages().value(1), QStringLiteral("请先选择要删除的视频项！"));
}

// "添加文件": the file dialog starts in the desktop folder (the home folder when there is no
// desktop), the chosen file becomes a job and its folder is remembered; the next dialog starts
// there, and cancelling it adds nothing.
TEST_F(UiMainWindowIdle, AddingFilesThroughTheFileDialog)
{
    const QString source = sourceClip();
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    const QString expectedStart = QDir(desktop).exists() ? desktop : QDir::homePath();
    QStringList startFolders;
    QPointer<QFileDialog> seen;
    bool choose = true;
    ModalAnswer files([&](QWidget *w) {
        auto *dialog = qobject_cast<QFileDialog *>(w);
        if (!dialog)
            return false;
        // Asked again while it stays open: its folder is already noted.
        if (dialog != seen)
            startFolders << dialog->directory().absolutePath();
        seen = dialog;
        if (!choose)
        {
            dialog->reject();
            return true;
        }
        return chooseFiles(dialog, {source});
    });
    SettingsAnswer settings;
    window->form().btnAddFile->click();
    ASSERT_EQ(window->form().listWidgetUpload->count(), 1);
    EXPECT_EQ(settings.dialogs(), 1);
    EXPECT_EQ(QDir(startFolders.value(0)), QDir(expectedStart));
    const QString remembered = CommonFun::getSettingString(QStringLiteral("user"), QStringLiteral("video_path"));
    EXPECT_EQ(QDir(remembered), QDir(env.tempDir()));
    EXPECT_FALSE(remembered.contains(QLatin1Char('\\')));

    choose = false;
    window->form().btnAddFile->click();
    EXPECT_EQ(QDir(startFolders.value(1)), QDir(env.tempDir()));
    EXPECT_EQ(window->form().listWidgetUpload->count(), 1);
    EXPECT_EQ(settings.dialogs(), 1);
}

// Closing the window stops the pool and leaves the pending work in "work.json".
TEST_F(UiMainWindowIdle, ClosingSavesPendingWork)
{
    SettingsAnswer answer;
    const QString a = sourceClip(QStringLiteral("a.mp4"));
    const QString b = sourceClip(QStringLiteral("b.mp4"));
    ASSERT_TRUE(window->addFiles({a, b}));
    ASSERT_EQ(window->form().listWidgetUpload->count(), 2);
    const QString workFile = QWorkPool::instance()->filePath();
    window->close();
    window.reset();

    QValue saved;
    ASSERT_TRUE(parseJson(testsupport::readAll(workFile), saved));
    ASSERT_TRUE(saved.isArray());
    ASSERT_EQ(saved.size(), 2u);
    QStringList names;
    for (const QValue &item : saved)
        names << asQString(item["data"]["file_name"]);
    names.sort();
    EXPECT_EQ(names, (QStringList {QStringLiteral("a.mp4"), QStringLiteral("b.mp4")}));
}

// Several "sign-in lost" replies at once open one sign-in dialog; giving up closes the window.
TEST_F(UiMainWindowIdle, LostSignInAsksOnce)
{
    int dialogs = 0;
    QPointer<QWidget> seen;
    ModalAnswer answer([&](QWidget *w) {
        if (!qobject_cast<QLoginDialog *>(w))
            return clickButton(w, "btnOk");
        // Left open for a moment on purpose: asked again meanwhile, nothing more to do.
        if (w == seen)
            return true;
        seen = w;
        ++dialogs;
        emit QUser::instance()->tokenInvalid();
        emit QUser::instance()->tokenInvalid();
        QTimer::singleShot(100, w, [w]() { clickButton(w, "btnClose"); });
        return true;
    });
    emit QUser::instance()->tokenInvalid();
    EXPECT_EQ(dialogs, 1);
    EXPECT_FALSE(window->isVisible());
}

// A check for updates that finds the sign-in lost is answered by the sign-in dialog alone,
// which says why: no update dialog (or other box) repeats the server's words on top of it.
TEST_F(UiMainWindowIdle, LostSignInIsSaidOnceByTheSignInDialog)
{
    // The start's own version check is out of the way.
    env.deliverPendingReplies();
    env.server()->expireAllTokens();
    QString notice;
    QStringList others;
    bool sawSignIn = false;
    bool delivered = false;
    ModalAnswer answer([&](QWidget *w) {
        if (auto *login = qobject_cast<QLoginDialog *>(w))
        {
            if (!sawSignIn)
            {
                sawSignIn = true;
                notice = login->findChild<QLabel *>(QStringLiteral("labelNotice"))->text();
                // The failed reply itself reaches the window while the dialog is open.
                QTimer::singleShot(0, login, [&]() {
                    env.deliverPendingReplies();
                    delivered = true;
                });
                return false;
            }
            return delivered && clickButton(w, "btnClose");
        }
        others << QString::fromLatin1(w->metaObject()->className()) + QLatin1Char(' ') + messageText(w);
        return clickButton(w, "btnOk") || clickButton(w, "btnClose");
    });
    window->onBtnUpdate();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return !window->isVisible(); }, 15000));
    EXPECT_TRUE(sawSignIn);
    EXPECT_EQ(notice, QStringLiteral("登录已失效，请重新登录"));
    EXPECT_TRUE(others.isEmpty()) << others.join(QLatin1Char('\n')).toStdString();
}

// The notice of a damaged file survives a start that ends at the sign-in dialog: the next
// start that opens the window shows it, once.
TEST(UiMainWindowFiles, DamageNoticeWaitsForTheWindow)
{
    UiTestEnv env(true, 1);
    env.signInDemo();
    const QString records = env.dataPath() + QStringLiteral("records.json");
    ASSERT_TRUE(testsupport::writeAll(records, "{\"1\": [broken"));
    QRecords::instance()->reopen();
    {
        // Built, then given up at the sign-in: never started, never shown.
        QMainWidget window;
    }
    EXPECT_TRUE(QFileInfo::exists(records + QStringLiteral(".bad")));
    // The next start reads a history that is simply missing now.
    QRecords::instance()->reopen();
    {
        QStringList told;
        ModalAnswer answer([&](QWidget *w) {
            told << messageText(w);
            return clickButton(w, "btnOk");
        });
        QMainWidget window;
        window.start();
        window.show();
        ASSERT_TRUE(testsupport::waitUntil([&]() { return answer.handled() == 1; }, 5000));
        ASSERT_EQ(told.size(), 1);
        EXPECT_TRUE(told.first().contains(QStringLiteral("records.json.bad"))) << told.first().toStdString();
    }
    // Shown: the start after that has nothing to say.
    QRecords::instance()->reopen();
    {
        int boxes = 0;
        ModalAnswer answer([&](QWidget *w) {
            ++boxes;
            return clickButton(w, "btnOk");
        });
        QMainWidget window;
        window.start();
        window.show();
        env.deliverPendingReplies();
        EXPECT_EQ(boxes, 0);
    }
}

// Corrupt state files never stop the window: it starts empty and the files are kept aside.
TEST(UiMainWindowFiles, CorruptStateFilesAreKept)
{
    UiTestEnv env(true, 1);
    env.signInDemo();
    const QString records = env.dataPath() + QStringLiteral("records.json");
    const QString work = env.dataPath() + QStringLiteral("work.json");
    ASSERT_TRUE(testsupport::writeAll(records, "{\"1\": [broken"));
    ASSERT_TRUE(testsupport::writeAll(work, "[{\"data\": 5}, 7, \"x\""));
    // Read as a fresh start reads it (the work pool reads its file when it starts).
    QRecords::instance()->reopen();
    {
        // The user is told once of each file kept aside, with the kept copy's name.
        QStringList told;
        ModalAnswer answer([&](QWidget *w) {
            told << messageText(w);
            return clickButton(w, "btnOk");
        });
        QMainWidget window;
        window.start();
        window.show();
        ASSERT_TRUE(testsupport::waitUntil([&]() { return told.size() == 2; }, 5000));
        // No third box: the start's replies have all arrived (and been answered) by now.
        env.deliverPendingReplies();
        EXPECT_EQ(told.size(), 2);
        EXPECT_TRUE(told.join(QLatin1Char('\n')).contains(QStringLiteral("records.json.bad")));
        EXPECT_TRUE(told.join(QLatin1Char('\n')).contains(QStringLiteral("work.json.bad")));
        EXPECT_EQ(window.form().listWidgetRecord->count(), 0);
        EXPECT_EQ(window.form().stackedWidgetRecord->currentIndex(), 0);
        EXPECT_EQ(window.form().listWidgetUpload->count(), 0);
    }
    EXPECT_EQ(testsupport::readAll(records + QStringLiteral(".bad")), QByteArray("{\"1\": [broken"));
    EXPECT_EQ(testsupport::readAll(work + QStringLiteral(".bad")), QByteArray("[{\"data\": 5}, 7, \"x\""));
}

// Finished records of earlier runs are on the record page at start, newest on top.
TEST(UiMainWindowFiles, EarlierRecordsAtStart)
{
    UiTestEnv env(true, 0);
    env.signInDemo();
    const QString folder = env.tempDir();
    for (const char *name : {"1001_12_1_first.vep", "1001_12_2_second.vep"})
        ASSERT_TRUE(testsupport::writeAll(folder + QString::fromLatin1(name), "vep"));
    QRecords::instance()->addRecord(folder + QStringLiteral("1001_12_1_first.vep"), 7);
    QRecords::instance()->addRecord(folder + QStringLiteral("1001_12_2_second.vep"), 8);
    QMainWidget window;
    QListWidget *list = window.form().listWidgetRecord;
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(window.form().stackedWidgetRecord->currentIndex(), 1);
    // The row shows the name as the record holds it.
    EXPECT_EQ(list->itemWidget(list->item(0))->findChild<QLabel *>(QStringLiteral("labelRecordVideoName"))->text(),
              QStringLiteral("1001_12_2_second.vep"));
    EXPECT_EQ(list->item(0)->sizeHint(), QSize(992, 56));

    // Clearing asks first; the count label then reads 0.
    ModalAnswer answer([](QWidget *w) { return clickButton(w, "btnOk"); });
    window.form().btnClearRecord->click();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() == 0; }, 3000));
    EXPECT_EQ(window.form().labelRecordNum->text(), QStringLiteral("0"));
    EXPECT_EQ(QRecords::instance()->count(), 0);
}

// Replies that are not what they should be never break the window: a body that is no JSON
// fails the call (its text shown where the call shows failures), members of the wrong type read
// as text or as nothing.
TEST(UiMainWindowReplies, NonsenseRepliesAreHarmless)
{
    UiTestEnv env(true, 0);
    env.signInDemo();
    Fault garbage;
    garbage.replaceBody = true;
    garbage.body = "<html>502 Bad Gateway</html>";
    garbage.count = 1;
    env.server()->setFault("Version/versionCheck", garbage);
    env.server()->setFault("Teacher/teacherVideoList", garbage);

    QStringList messages;
    ModalAnswer answer([&](QWidget *w) {
        messages << messageText(w);
        return clickButton(w, "btnOk") || clickButton(w, "btnClose");
    });
    QMainWidget window;
    window.start();
    window.show();
    window.onBtnRefresh();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return messages.size() == 1; }, 5000));
    EXPECT_FALSE(messages.first().isEmpty());
    EXPECT_EQ(window.form().listWidgetCourse->count(), 0);

    Fault oddTypes;
    oddTypes.dataPatch["id"] = 13;
    oddTypes.dataPatch["video_title"] = Json::Value(Json::arrayValue);
    oddTypes.dataPatch["ctime"] = "soon";
    oddTypes.count = 1;
    env.server()->setFault("Teacher/teacherVideoList", oddTypes);
    window.onBtnRefresh();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return window.form().listWidgetCourse->count() == 2; }, 5000));
    EXPECT_EQ(window.form().listWidgetCourse->item(0)->data(Qt::StatusTipRole).toString(), QStringLiteral("13"));
    EXPECT_TRUE(window.form().listWidgetCourse->item(0)->text().isEmpty());
    EXPECT_EQ(messages.size(), 1);

    // A storage reply with no space at all shows an empty bar rather than dividing by zero.
    for (const char *reply : {R"({"space": "0", "storage_siz": "12"})", R"({"space": 0, "storage_siz": [1]})", R"("text")"})
    {
        QValue data;
        ASSERT_TRUE(parseJson(QByteArray(reply), data));
        window.form().progressSpace->setValue(50);
        window.onFluxReponse(true, data, QString());
        EXPECT_EQ(window.form().progressSpace->value(), 0) << reply;
    }
    QValue half;
    ASSERT_TRUE(parseJson(QByteArray(R"({"space": "2048", "storage_siz": "1024"})"), half));
    window.onFluxReponse(true, half, QString());
    EXPECT_EQ(window.form().progressSpace->value(), 50);
    EXPECT_EQ(window.form().progressSpace->format(), QStringLiteral("1024.00MB/2.00G"));
    EXPECT_TRUE(window.isVisible());
}
