// The test helper that answers modal windows: a window counts as handled only once it has
// gone away, and an act that did not close it is made again, so that a dialog not yet ready
// for its answer never leaves a test waiting for ever.

#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QPointer>
#include <QTimer>

#include <gtest/gtest.h>

#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    // Ignores the first `ignored` accepts, as a dialog whose content has not loaded yet does.
    class SlowDialog : public QDialog
    {
    public:
        explicit SlowDialog(int ignored)
            : m_ignored(ignored)
        {
        }
        void accept() override
        {
            ++calls;
            if (m_ignored-- > 0)
                return;
            QDialog::accept();
        }
        int calls = 0;

    private:
        int m_ignored;
    };
}

TEST(ModalAnswer, DialogThatIgnoresAnAcceptIsAnsweredAgainUntilItCloses)
{
    SlowDialog dialog(3);
    int acts = 0;
    ModalAnswer answer([&](QWidget *w) {
        ++acts;
        static_cast<QDialog *>(w)->accept();
        return true;
    });
    // A bound of our own: the old helper left this exec() running for ever.
    QTimer::singleShot(10000, &dialog, &QDialog::reject);
    EXPECT_EQ(dialog.exec(), int(QDialog::Accepted));
    EXPECT_EQ(dialog.calls, 4);
    EXPECT_EQ(acts, 4);
    EXPECT_EQ(answer.handled(), 1);
}

// A window acted on but still open is not counted; it counts once it closes, and a second
// window after it is answered too.
TEST(ModalAnswer, CountsAWindowOnlyWhenItHasGoneAway)
{
    QDialog first;
    QDialog second;
    int acts = 0;
    ModalAnswer answer([&](QWidget *w) {
        ++acts;
        if (w == &first && acts == 1)
            QTimer::singleShot(200, w, [w] { static_cast<QDialog *>(w)->reject(); });
        else if (w == &second)
            static_cast<QDialog *>(w)->accept();
        return true;
    });
    QTimer::singleShot(100, [&] { EXPECT_EQ(answer.handled(), 0); });
    QTimer::singleShot(10000, &first, &QDialog::reject);
    EXPECT_EQ(first.exec(), int(QDialog::Rejected));
    EXPECT_EQ(answer.handled(), 1);
    QTimer::singleShot(10000, &second, &QDialog::reject);
    EXPECT_EQ(second.exec(), int(QDialog::Accepted));
    EXPECT_EQ(answer.handled(), 2);
}

// Qt's file dialog answered right after it is shown, before its folder has loaded and while
// its name box has the focus, ends with the chosen files.
TEST(ModalAnswer, FileDialogAnsweredAsSoonAsShownReturnsTheFiles)
{
    const QString folder = testsupport::newTempDir();
    const QStringList files {folder + QStringLiteral("第一课.mp4"), folder + QStringLiteral("week 2.mp4")};
    for (const QString &file : files)
        ASSERT_TRUE(testsupport::writeAll(file, "x"));
    ModalAnswer answer([&](QWidget *w) { return chooseFiles(w, files); });
    QFileDialog dialog(nullptr, QString(), QDir::homePath(), QStringLiteral("*.mp4"));
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    QTimer::singleShot(10000, &dialog, &QDialog::reject);
    ASSERT_EQ(dialog.exec(), int(QDialog::Accepted));
    EXPECT_EQ(dialog.selectedFiles(), files);
    EXPECT_EQ(answer.handled(), 1);
}
