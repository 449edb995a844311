// A long history is read while the window is already up: the window never waits for it, the
// record page lists all of it once it is read, and a job that finishes meanwhile is listed once.
#include <atomic>
#include <future>
#include <thread>

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>

#include <gtest/gtest.h>

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
        return kFirstId + static_cast<qint64>(i) * 60000;
    }

    QString nameOf(qint64 id)
    {
        return QStringLiteral("第%1课 视频加密入门.vep").arg(id);
    }

    // The text of a history of `count` records, as the program writes it.
    QByteArray historyText(int count)
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
        return toStyledByteArray(root, false);
    }

    QString shownName(QWidget *row)
    {
        auto *label = row ? row->findChild<QLabel *>(QStringLiteral("labelRecordVideoName")) : nullptr;
        return label ? label->toolTip().section(QLatin1Char('/'), -1) : QString();
    }

    QWidget *scrollTo(QListWidget *list, int row)
    {
        list->scrollToItem(list->item(row), QAbstractItemView::PositionAtCenter);
        QWidget *widget = nullptr;
        testsupport::waitUntil([&]() { return (widget = list->itemWidget(list->item(row))) != nullptr; }, 5000);
        return widget;
    }
}

// 100,000 records behind a FIFO that gives nothing until the test feeds it: the window is built
// and shown first, a job of an older run finishes while the history is still unread, then the
// history arrives. Every record is listed once, the job's on top, and the file holds all.
TEST(UiRecordHistory, LongHistoryReadAfterTheWindowWithAJobFinishingMeanwhile)
{
    UiTestEnv env(false);
    const int count = 100000;
    const QByteArray text = historyText(count);
    const QString path = env.dataPath() + QStringLiteral("records.json");
    ASSERT_TRUE(testsupport::makeFifo(path));
    // Told on the thread that read it.
    std::atomic<int> loaded {0};
    const QMetaObject::Connection told =
        QObject::connect(QRecords::instance(), &QRecords::loaded, [&loaded]() { ++loaded; });
    QRecords::instance()->reopen(QString(), QRecords::Reading::InBackground);

    QMainWidget window;
    QSignalSpy handled(&window, SIGNAL(recordHandled(qlonglong)));
    QSignalSpy listed(&window, SIGNAL(historyListed()));
    window.resize(QUIScale::scale(1008), QUIScale::scale(696));
    window.show();
    window.form().btnTabRecord->click();
    QListWidget *list = window.form().listWidgetRecord;
    EXPECT_FALSE(QRecords::instance()->isLoaded());
    EXPECT_EQ(list->count(), 0);
    EXPECT_EQ(window.form().stackedWidgetRecord->currentIndex(), 1) << "an empty list, not \"no records\", while reading";
    // Nothing is written over the history while it is unread.
    EXPECT_TRUE(QRecords::instance()->save());
    EXPECT_FALSE(QFileInfo(path).isFile());

    // A retried job of an older run: its id lies inside the history, it finishes now.
    const qint64 job = idOf(count / 2) + 7;
    const QString output = env.tempDir() + nameOf(job);
    ASSERT_TRUE(testsupport::writeAll(output, "vep"));
    std::promise<void> entered;
    QRecords::setClock([&entered]() {
        entered.set_value();
        return static_cast<qint64>(1900000000);
    });
    record_ptr added;
    std::thread finisher([&]() { added = QRecords::instance()->addJobRecord(job, output, output, 7); });
    // The record is being added (its time taken) before a byte of the history is read.
    const bool adding = entered.get_future().wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    QRecords::setClock(nullptr);
    bool fed = false;
    std::thread feeder([&]() { fed = testsupport::feedFifo(path, text, 30000); });
    feeder.join();
    finisher.join();
    ASSERT_TRUE(adding);
    ASSERT_TRUE(fed);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->id(), job);

    // Both are in once the history is listed and the window has dealt with the job's record:
    // nothing more is on its way.
    const auto jobHandled = [&]() {
        for (const QList<QVariant> &args : handled)
            if (args.at(0).toLongLong() == job)
                return true;
        return false;
    };
    ASSERT_TRUE(testsupport::waitUntil([&]() { return !listed.isEmpty() && jobHandled() && loaded == 1; }, 60000))
        << list->count();
    EXPECT_EQ(listed.count(), 1);
    EXPECT_EQ(list->count(), count + 1);
    EXPECT_EQ(loaded, 1);
    QObject::disconnect(told);
    EXPECT_EQ(QRecords::instance()->count(), count + 1);
    EXPECT_EQ(window.form().labelRecordNum->text(), QString::number(count + 1));
    EXPECT_EQ(shownName(scrollTo(list, 0)), nameOf(job));
    EXPECT_EQ(shownName(scrollTo(list, 1)), nameOf(idOf(count - 1)));
    EXPECT_EQ(shownName(scrollTo(list, count / 2)), nameOf(idOf(count / 2)));
    EXPECT_EQ(shownName(scrollTo(list, count)), nameOf(idOf(0)));

    // On disk: the whole history and the job's record, as a file again.
    QValue saved;
    ASSERT_TRUE(QJsonFile::read(path, saved));
    EXPECT_TRUE(QFileInfo(path).isFile());
    EXPECT_EQ(saved.size(), static_cast<unsigned>(count + 1));
    EXPECT_TRUE(saved.isMember(std::to_string(job)));
    EXPECT_TRUE(saved.isMember(std::to_string(idOf(0))));
    EXPECT_TRUE(saved.isMember(std::to_string(idOf(count - 1))));
}

// Rows that reach the page before its history is read (one newer than all of it, one from its
// middle) take their places in it once it is: the page is in one order, each record once.
TEST(UiRecordHistory, RowsAddedBeforeTheHistoryIsReadJoinItInOrder)
{
    UiTestEnv env(false);
    const int count = 12000;
    const QString path = env.dataPath() + QStringLiteral("records.json");
    ASSERT_TRUE(testsupport::makeFifo(path));
    QRecords::instance()->reopen(QString(), QRecords::Reading::InBackground);
    QMainWidget window;
    QSignalSpy handled(&window, SIGNAL(recordHandled(qlonglong)));
    QSignalSpy listed(&window, SIGNAL(historyListed()));
    window.show();
    window.form().btnTabRecord->click();
    QListWidget *list = window.form().listWidgetRecord;

    const auto recordOf = [](qint64 id, qint64 time) {
        auto record = std::make_shared<QDtaRecord>();
        record->setId(id);
        record->setTime(static_cast<int32_t>(time));
        record->setFileName(nameOf(id));
        record->setFilePath(QStringLiteral("/no/such/folder/"));
        return record;
    };
    // Between the records of history index 7000 and 7001 (the later one shows above it).
    const qint64 middle = idOf(7000) + 1;
    window.onAddRecordItem(recordOf(middle, idOf(7000) / 1000 + 30));
    const qint64 newest = idOf(count) + 5;
    window.onAddRecordItem(recordOf(newest, idOf(count) / 1000));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return handled.count() == 2; }, 5000));
    EXPECT_EQ(list->count(), 2);
    EXPECT_FALSE(QRecords::instance()->isLoaded());
    EXPECT_TRUE(listed.isEmpty());

    ASSERT_TRUE(testsupport::feedFifo(path, historyText(count), 30000));
    // Listed whole: the last batch is in and no other is to come.
    ASSERT_TRUE(testsupport::waitUntil([&]() { return !listed.isEmpty(); }, 60000)) << list->count();
    EXPECT_TRUE(QRecords::instance()->isLoaded());
    EXPECT_EQ(listed.count(), 1);
    EXPECT_EQ(handled.count(), 2);
    EXPECT_EQ(list->count(), count + 2);
    EXPECT_EQ(window.form().labelRecordNum->text(), QString::number(count + 2));
    // Row 0 the newest; then the history from its end down to index 7001, the row from its
    // middle, index 7000 and on.
    EXPECT_EQ(shownName(scrollTo(list, 0)), nameOf(newest));
    EXPECT_EQ(shownName(scrollTo(list, 1)), nameOf(idOf(count - 1)));
    const int middleRow = 1 + (count - 1 - 7000);
    EXPECT_EQ(shownName(scrollTo(list, middleRow - 1)), nameOf(idOf(7001)));
    EXPECT_EQ(shownName(scrollTo(list, middleRow)), nameOf(middle));
    EXPECT_EQ(shownName(scrollTo(list, middleRow + 1)), nameOf(idOf(7000)));
    EXPECT_EQ(shownName(scrollTo(list, count + 1)), nameOf(idOf(0)));
}
