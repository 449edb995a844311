// A record row lays out the same columns whatever its name: a long name is cut with "…" to its
// column, whole in the tool tip, and the mode, time and status columns stay where the other
// rows have them.
#include <memory>
#include <vector>

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLayout>

#include <gtest/gtest.h>

#include "qdtarecord.h"
#include "qitemrecordwidget.h"
#include "quiscale.h"
#include "uitestenv.h"

namespace
{
    struct NameCase
    {
        const char *what;
        QString name;
        bool cut;
    };

    // Left edges of the columns right of the name, in the row's coordinates.
    std::vector<int> columnEdges(QWidget *row)
    {
        std::vector<int> edges;
        for (const char *name : {"frame_5", "frame_2", "frame_3", "frame_4"}) {
            auto *column = row->findChild<QFrame *>(QString::fromLatin1(name));
            edges.push_back(column ? column->mapTo(row, QPoint(0, 0)).x() : -1);
        }
        return edges;
    }
}

TEST(UiRecordRow, LongNamesAreElidedAndTheColumnsStayAligned)
{
    UiTestEnv env(false);
    const QString folder = QStringLiteral("/home/teacher/课程/");
    const std::vector<NameCase> cases {
        {"short", QStringLiteral("第一课.vep"), false},
        {"long Chinese",
         QStringLiteral("第三单元 函数的单调性与最值（含例题精讲、课堂练习与课后作业讲评）第二讲 完整版 2026 秋季学期 高清重制.vep"),
         true},
        {"long without spaces", QString(160, QLatin1Char('m')) + QStringLiteral(".vep"), true},
        {"long with a line break",
         QStringLiteral("第四单元 三角函数\n诱导公式 两角和与差的正弦、余弦和正切公式 二倍角公式 简单的三角恒等变换.vep"), true},
    };

    for (const int width : {992, 1300}) {
        SCOPED_TRACE(width);
        std::vector<std::unique_ptr<QItemRecordWidget>> rows;
        int i = 0;
        for (const NameCase &c : cases) {
            auto record = std::make_shared<QDtaRecord>();
            record->setId(100 + i);
            record->setFileName(c.name);
            record->setFilePath(folder);
            // Times that differ in every digit, modes of both text lengths.
            record->setTime(1700000000 + i * 38000777);
            record->setFileType(i % 2 == 0 ? 8 : 7);
            record->setFileSize(3.0 * (i + 1));
            rows.push_back(std::make_unique<QItemRecordWidget>(record));
            rows.back()->resize(QUIScale::scale(width), QUIScale::scale(56));
            rows.back()->show();
            ++i;
        }
        QApplication::processEvents();

        const std::vector<int> reference = columnEdges(rows.front().get());
        for (size_t n = 0; n < cases.size(); ++n) {
            const NameCase &c = cases[n];
            SCOPED_TRACE(c.what);
            QItemRecordWidget *row = rows[n].get();
            auto *label = row->findChild<QLabel *>(QStringLiteral("labelRecordVideoName"));
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(label->text().contains(QChar(0x2026)), c.cut) << label->text().toStdString();
            EXPECT_FALSE(label->text().contains(QLatin1Char('\n')));
            if (!c.cut) {
                EXPECT_EQ(label->text(), c.name);
            }
            EXPECT_EQ(label->toolTip(), folder + c.name);
            // The name fits its label, and its label ends before the mode column begins.
            EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->contentsRect().width());
            EXPECT_LE(label->mapTo(row, QPoint(label->width(), 0)).x(), columnEdges(row).front());
            EXPECT_EQ(columnEdges(row), reference);
            EXPECT_EQ(label->width(), rows.front()->findChild<QLabel *>(QStringLiteral("labelRecordVideoName"))->width());
            // Every column inside the row.
            for (QFrame *column : row->findChildren<QFrame *>())
                EXPECT_LE(column->mapTo(row, QPoint(column->width(), 0)).x(), row->width()) << column->objectName().toStdString();
        }
    }
}
