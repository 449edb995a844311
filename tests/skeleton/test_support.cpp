#include <QFileInfo>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include "testsupport.h"

// The wrapper gives every test its own HOME and runtime folder.
TEST(TestSupport, RunsIsolated)
{
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    EXPECT_TRUE(env.value(QStringLiteral("HOME")).contains(QStringLiteral("vantrel-test.")));
    EXPECT_TRUE(env.value(QStringLiteral("XDG_RUNTIME_DIR")).contains(QStringLiteral("vantrel-test.")));
    EXPECT_EQ(env.value(QStringLiteral("QT_QPA_PLATFORM")), QStringLiteral("offscreen"));
    EXPECT_NE(testsupport::freePort(), 0);
}

TEST(TestSupport, MakesClips)
{
    const QString clip = testsupport::clipH264Mp4();
    ASSERT_FALSE(clip.isEmpty());
    EXPECT_GT(QFileInfo(clip).size(), 1000);
}
