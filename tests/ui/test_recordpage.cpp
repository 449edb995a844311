// The record page with a long history: every record has its row, newest first, but only the
// rows in view have row widgets.
#include <functional>

#include <QCoreApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTest>

#include <gtest/gtest.h>

#include "qitemrecordwidget.h"
#include "qjsonfile.h"
#include "qmainwidget.h"
#include "qrecords.h"
#include "qvalue.h"
#include "quiscale.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    const qint64 kFirstId = 1600000000000LL;

    qint64 idOf(int i)
    {
        return kFirstId + static_cast<qint64>(i) * 1000;
    }

    QString nameOf(qint64 id)
    {
        return QStringLiteral("第%1课.vep").arg(id);
    }

    // "records.json" with `count` records in a folder that does not exist.
    void seedHistory(const QString &dataPath, int count)
    {
        QValue root(Json::objectValue);
        for (int i = 0; i < count; ++i) {
            const qint64 id = idOf(i);
            QValue record(Json::objectValue);
            record["id"] = static_cast<Json::Int64>(id);
            record["file_name"] = nameOf(id).toStdString();
            record["file_path"] = std::string("/no/such/folder/");
            record["file_size"] = 12.0;
            record["file_type"] = 7u;
            record["time"] = static_cast<Json::Int>(id / 1000);
            root[std::to_string(id)] = record;
        }
        ASSERT_TRUE(QJsonFile::write(dataPath + QStringLiteral("records.json"), root, false));
    }

    QString shownName(QWidget *row)
    {
        auto *label = row ? row->findChild<QLabel *>(QStringLiteral("labelRecordVideoName")) : nullptr;
        return label ? label->text() : QString();
    }

    QList<QItemRecordWidget *> rowWidgets(QListWidget *list)
    {
        // Widgets given back are deleted when control is back in the loop.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return list->viewport()->findChildren<QItemRecordWidget *>();
    }

    // Scrolls `row` into view; its widget once it has one.
    QWidget *scrollTo(QListWidget *list, int row)
    {
        list->scrollToItem(list->item(row), QAbstractItemView::PositionAtCenter);
        QWidget *widget = nullptr;
        testsupport::waitUntil([&]() { return (widget = list->itemWidget(list->item(row))) != nullptr; }, 3000);
        return widget;
    }

    // The records' clock, for as long as it lives.
    class RecordClock
    {
    public:
        explicit RecordClock(const std::function<qint64()> &clock) { QRecords::setClock(clock); }
        ~RecordClock() { QRecords::setClock(nullptr); }
    };

    class UiRecordPage : public ::testing::Test
    {
    protected:
        UiRecordPage()
            : env(true, 0)
        {
            env.signInDemo();
        }

        void open(int count)
        {
            seedHistory(env.dataPath(), count);
            QRecords::instance()->reopen();
            window.reset(new QMainWidget(nullptr));
            window->resize(QUIScale::scale(1008), QUIScale::scale(696));
            window->show();
            window->form().btnTabRecord->click();
            ASSERT_TRUE(rowsShown());
        }

        // The window is on the screen at its size and the rows in view have their widgets.
        bool rowsShown()
        {
            if (!QTest::qWaitForWindowExposed(window.get()))
                return false;
            // The layout and the lazy rows' refresh it asked for.
            QCoreApplication::sendPostedEvents();
            return list()->count() == 0
                || testsupport::waitUntil([this]() { return list()->itemWidget(list()->item(0)) != nullptr; }, 5000);
        }

        QListWidget *list() const
        {
            return window->form().listWidgetRecord;
        }

        // The most row widgets a list of the window's height may have: those in view and the
        // spare ones around them.
        int widgetBound() const
        {
            const int rowHeight = QUIScale::scale(56);
            return list()->viewport()->height() / rowHeight + 2 + 2 * 6 + 1;
        }

        UiTestEnv env;
        std::unique_ptr<QMainWidget> window;
    };
}

// First and last rows, a row scrolled to, the count; the number of row widgets stays the
// same while the history grows.
TEST_F(UiRecordPage, ThousandsOfRecordsShowInIdOrderWithBoundedWidgets)
{
    const int count = 3000;
    open(count);
    Ui::QMainWidgetClass &ui = window->form();
    ASSERT_EQ(list()->count(), count);
    EXPECT_EQ(ui.labelRecordNum->text(), QString::number(count));
    EXPECT_EQ(ui.stackedWidgetRecord->currentIndex(), 1);

    // Highest id on top.
    QWidget *top = list()->itemWidget(list()->item(0));
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(shownName(top), nameOf(idOf(count - 1)));
    EXPECT_EQ(top->findChild<QLabel *>(QStringLiteral("labelFileType"))->text(), QStringLiteral("快速加密模式"));
    const int startWidgets = rowWidgets(list()).size();
    EXPECT_GT(startWidgets, 0);
    EXPECT_LE(startWidgets, widgetBound());

    struct Case
    {
        int row;
        qint64 id;
    };
    for (const Case &c : {Case {count - 1, idOf(0)}, Case {1234, idOf(count - 1 - 1234)}, Case {7, idOf(count - 8)}}) {
        SCOPED_TRACE(c.row);
        QWidget *row = scrollTo(list(), c.row);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(shownName(row), nameOf(c.id));
        EXPECT_TRUE(row->isVisible());
        EXPECT_TRUE(list()->viewport()->rect().intersects(list()->visualItemRect(list()->item(c.row))));
        EXPECT_EQ(row->findChild<QLabel *>(QStringLiteral("labelRecordVideoName"))->toolTip(),
                  QStringLiteral("/no/such/folder/") + nameOf(c.id));
        EXPECT_EQ(row->width(), list()->viewport()->width());
        EXPECT_LE(rowWidgets(list()).size(), widgetBound());
    }

    // A wider window: rows made from now on take the new width.
    const int narrow = list()->viewport()->width();
    window->resize(QUIScale::scale(1300), QUIScale::scale(800));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list()->viewport()->width() > narrow; }, 5000));
    QCoreApplication::sendPostedEvents();
    QWidget *wide = scrollTo(list(), 2500);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(wide->width(), list()->viewport()->width());
    for (QItemRecordWidget *row : rowWidgets(list()))
        EXPECT_EQ(row->width(), list()->viewport()->width());

    // 2,000 more records: the widgets stay as many as the window shows.
    for (int i = count; i < count + 2000; ++i) {
        auto record = std::make_shared<QDtaRecord>();
        record->setId(idOf(i));
        record->setTime(static_cast<int32_t>(idOf(i) / 1000));
        record->setFileName(nameOf(idOf(i)));
        window->onAddRecordItem(record);
    }
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list()->count() == count + 2000; }, 10000));
    // The refresh the last insertion asked for has run.
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(ui.labelRecordNum->text(), QString::number(count + 2000));
    EXPECT_LE(rowWidgets(list()).size(), widgetBound());
    EXPECT_EQ(shownName(scrollTo(list(), 0)), nameOf(idOf(count + 1999)));
    EXPECT_EQ(shownName(scrollTo(list(), count + 1999)), nameOf(idOf(0)));
}

// A row scrolled to keeps its buttons: deleting it removes exactly that record; opening the
// folder of a record whose folder is gone says so.
TEST_F(UiRecordPage, ButtonsOfARowScrolledToAct)
{
    const int count = 2500;
    open(count);
    const int target = 1700;
    const qint64 id = idOf(count - 1 - target);
    QWidget *row = scrollTo(list(), target);
    ASSERT_NE(row, nullptr);
    ASSERT_EQ(shownName(row), nameOf(id));

    QStringList told;
    {
        ModalAnswer answer([&](QWidget *w) {
            told << messageText(w);
            return clickButton(w, "btnOk");
        });
        row->findChild<QPushButton *>(QStringLiteral("btnOpenFolder"))->click();
    }
    EXPECT_EQ(told, QStringList {QStringLiteral("文件目录不存在!")});

    row->findChild<QPushButton *>(QStringLiteral("btnDelRecord"))->click();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list()->count() == count - 1; }, 3000));
    EXPECT_FALSE(QRecords::instance()->contains(id));
    EXPECT_EQ(QRecords::instance()->count(), count - 1);
    EXPECT_EQ(window->form().labelRecordNum->text(), QString::number(count - 1));
    // The neighbours close up; the row there now shows the next older record.
    EXPECT_EQ(shownName(scrollTo(list(), target - 1)), nameOf(id + 1000));
    EXPECT_EQ(shownName(scrollTo(list(), target)), nameOf(id - 1000));
    QValue saved;
    ASSERT_TRUE(QJsonFile::read(QRecords::instance()->filePath(), saved));
    EXPECT_EQ(saved.size(), static_cast<unsigned>(count - 1));
    EXPECT_FALSE(saved.isMember(std::to_string(id)));

    // Clearing a long history.
    ModalAnswer confirm([](QWidget *w) { return clickButton(w, "btnOk"); });
    window->form().btnClearRecord->click();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list()->count() == 0; }, 3000));
    EXPECT_EQ(window->form().labelRecordNum->text(), QStringLiteral("0"));
    EXPECT_EQ(window->form().stackedWidgetRecord->currentIndex(), 0);
    EXPECT_TRUE(rowWidgets(list()).isEmpty());
}

// Jobs that finish in another order than they were queued in, and a job of an older run
// retried: the page lists them by the time each one finished, the latest on top and the higher
// id first within one second, during the run and in the same order after a restart.
TEST_F(UiRecordPage, OneOrderDuringTheRunAndAfterARestart)
{
    open(3);
    const QString folder = env.tempDir();
    // Job ids as the queue gave them; the last is a job restored from an older run.
    const qint64 queued[] = {idOf(10), idOf(11), idOf(12), idOf(1) + 500};
    struct Finish
    {
        qint64 job;
        qint64 second;
    };
    // The latest queued first; the earliest and the one between in one second; the old job
    // retried last.
    const Finish finishes[] = {{queued[2], 0}, {queued[0], 1}, {queued[1], 1}, {queued[3], 2}};
    qint64 now = 0;
    RecordClock clock([&now]() { return now; });
    for (const Finish &finish : finishes) {
        now = 1800000000 + finish.second;
        const QString output = folder + nameOf(finish.job);
        ASSERT_TRUE(testsupport::writeAll(output, "vep"));
        ASSERT_NE(QRecords::instance()->addJobRecord(finish.job, output, output, 7), nullptr);
    }
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list()->count() == 7; }, 3000));

    auto shownOrder = [](QListWidget *records) {
        QStringList names;
        for (int row = 0; row < records->count(); ++row)
            names << shownName(scrollTo(records, row));
        return names;
    };
    const QStringList expected {nameOf(queued[3]), nameOf(queued[1]), nameOf(queued[0]), nameOf(queued[2]),
                                nameOf(idOf(2)), nameOf(idOf(1)), nameOf(idOf(0))};
    EXPECT_EQ(shownOrder(list()), expected);

    // Restart: the history as read from the file, a new window.
    window.reset();
    QRecords::instance()->reopen();
    window.reset(new QMainWidget(nullptr));
    window->show();
    window->form().btnTabRecord->click();
    ASSERT_TRUE(rowsShown());
    EXPECT_EQ(shownOrder(list()), expected);
    EXPECT_EQ(window->form().labelRecordNum->text(), QStringLiteral("7"));
}
