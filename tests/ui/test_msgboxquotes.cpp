// A quoted part of a message (a path, as a rule) wraps as a whole in the message box: it starts
// a line of its own rather than leaving its opening quote behind, and one too long for any line
// breaks only after its separators, never between the quote and its first name.
#include <algorithm>

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTextLayout>

#include <gtest/gtest.h>

#include "commonfun.h"
#include "qmsgbox.h"
#include "quiscale.h"
#include "uitestenv.h"

namespace
{
    QString readable(QString text)
    {
        return text.remove(QChar(0x2060)).remove(QChar(0x200B)).replace(QChar(QChar::Nbsp), QLatin1Char(' '));
    }

    // The lines the label draws its text in, as read.
    QStringList shownLines(QLabel *label)
    {
        QTextLayout layout(label->text(), label->font());
        QTextOption option;
        option.setWrapMode(QTextOption::WordWrap);
        layout.setTextOption(option);
        QStringList lines;
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine())
        {
            line.setLineWidth(label->contentsRect().width());
            lines << readable(label->text().mid(line.textStart(), line.textLength())).trimmed();
        }
        layout.endLayout();
        return lines;
    }

    std::string show(const QStringList &lines)
    {
        return lines.join(QStringLiteral(" | ")).toStdString();
    }

    bool isSeparator(QChar c)
    {
        return c == QLatin1Char('/') || c == QLatin1Char('\\');
    }
}

TEST(UiMsgBoxQuotes, QuotedPartsWrapAsAWhole)
{
    UiTestEnv env(false, 0);
    // A path longer than the widest box (90% of the screen) can hold in one line.
    QString deep = QStringLiteral("/home/teacher");
    while (deep.size() < 400)
        deep += QStringLiteral("/第三单元_函数的单调性与最值");
    struct Case
    {
        const char *what;
        QString text;
        QString quoted; // the quoted part with its closing punctuation
        bool whole;     // fits one line of the box
    };
    const QString path = QStringLiteral("/home/teacher/.local/share/vantrel/records.json.bad");
    const Case cases[] = {
        {"damage notice", QStringLiteral("历史记录文件已损坏，原文件已另存为“%1”。").arg(path),
         QStringLiteral("“%1”。").arg(path), true},
        {"folder that can't be written",
         QStringLiteral("无法开始加密：数据文件夹“/home/teacher/.local/share/vantrel/”无法写入，请检查磁盘空间和文件夹权限后重试"),
         QStringLiteral("“/home/teacher/.local/share/vantrel/”"), true},
        {"file name", QStringLiteral("确认删除文件“第一课 开篇（上）复习与练习.mp4”吗？"), QStringLiteral("“第一课 开篇（上）复习与练习.mp4”"), true},
        {"path longer than any line", QStringLiteral("任务文件已损坏，原文件已另存为“%1”。").arg(deep), QStringLiteral("“%1”。").arg(deep), false},
    };
    for (const float scale : {1.0f, 1.25f})
    {
        QUIScale::setFactor(scale);
        for (const Case &c : cases)
        {
            SCOPED_TRACE(std::string(c.what) + " at " + std::to_string(scale));
            QMsgBox box;
            box.setType(1);
            box.setText(c.text);
            box.show();
            auto *label = box.findChild<QLabel *>(QStringLiteral("labelMsg"));
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(messageText(&box), c.text);
            const QStringList lines = shownLines(label);
            EXPECT_EQ(lines.join(QString()).remove(QLatin1Char(' ')), QString(c.text).remove(QLatin1Char(' '))) << show(lines);
            // Nothing is cut off at the label's right edge.
            for (const QString &line : lines)
                EXPECT_LE(label->fontMetrics().horizontalAdvance(line), label->contentsRect().width()) << line.toStdString();
            EXPECT_LE(box.width(), QGuiApplication::primaryScreen()->availableGeometry().width());
            if (c.whole)
            {
                int holding = 0;
                for (const QString &line : lines)
                    holding += line.contains(c.quoted) ? 1 : 0;
                EXPECT_EQ(holding, 1) << show(lines);
                continue;
            }
            // Broken only right after separators, and the quote keeps its first name.
            int opening = -1;
            for (int i = 0; i < lines.size(); ++i)
                if (lines.at(i).contains(QChar(0x201C)))
                    opening = i;
            ASSERT_GE(opening, 0) << show(lines);
            const QString first = lines.at(opening).mid(lines.at(opening).indexOf(QChar(0x201C)) + 1);
            EXPECT_TRUE(std::any_of(first.begin(), first.end(), [](QChar ch) { return !isSeparator(ch); })) << show(lines);
            for (int i = opening; i + 1 < lines.size(); ++i)
                EXPECT_TRUE(isSeparator(lines.at(i).back())) << show(lines);
        }
    }
    QUIScale::setFactor(1.0f);
}

// A text without quotes is shown exactly as given.
TEST(UiMsgBoxQuotes, TextWithoutQuotesIsUnchanged)
{
    UiTestEnv env(false, 0);
    const QString text = QStringLiteral("无法写入输出文件：\n/home/teacher/视频/第十二课.vep\n磁盘空间不足或没有写入权限。");
    QMsgBox box;
    box.setText(text);
    EXPECT_EQ(box.findChild<QLabel *>(QStringLiteral("labelMsg"))->text(), text);
    // An opening quote that is never closed leaves the text alone too.
    const QString open = QStringLiteral("文件“/home/teacher/未完");
    box.setText(open);
    EXPECT_EQ(box.findChild<QLabel *>(QStringLiteral("labelMsg"))->text(), open);
}
