// A long history is read while the window is already up: the window never waits for it, the
// record page lists all of it once it is read, and a job that finishes meanwhile is listed once.
#include <atomic>
#include <future>
#include <thread>

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
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

    ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() >= count + 1 && loaded == 1; }, 60000))
        << list->count();
    // The job's own signal comes after the history: once both are in, nothing more arrives.
    QTest::qWait(50);
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
