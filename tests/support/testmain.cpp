#include <clocale>
#include <cstdlib>

#include <QApplication>

#include <gtest/gtest.h>

// One QApplication per test process (offscreen, set by tests/isolate.sh), so that widgets,
// queued signals and QSignalSpy work in every test.
int main(int argc, char **argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    const char *ctype = std::setlocale(LC_CTYPE, nullptr);
    if (!ctype || std::string(ctype) == "C" || std::string(ctype) == "POSIX")
        std::setlocale(LC_CTYPE, "C.UTF-8");
    return RUN_ALL_TESTS();
}
