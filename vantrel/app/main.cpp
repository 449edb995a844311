#include <cstdio>
#include <cstring>
#include <string>

#include <QString>

#include "cglobal.h"
#include "crashdump.h"
#include "cwinapp.h"
#include "instanceguard.h"

int main(int argc, char **argv)
{
    // Before Qt looks for it, and before the children that inherit it start.
    instanceguard::ensureRuntimeDirEnv();

    // Makes this program the handler of "ostrelhelper:" links, then ends.
    if (argc == 2 && std::strcmp(argv[1], "--register-url-protocol") == 0) {
        if (CGlobal::registerUrlProtocol())
            return 0;
        std::fprintf(stderr, "%s\n", "无法注册 ostrelhelper 协议。");
        return 1;
    }

    // The dump name carries the version number: "v6.01" less its leading v.
    static const char *const version = VANTREL_VERSION_TEXT + 1;
    platform::installCrashHandler(version, CGlobal::buildDate());

    // A sign-in token handed over on the command line is taken out of the process's argument
    // memory at once: /proc/<pid>/cmdline is readable by every user of the machine.
    std::string launchArgument;
    if (argc >= 2 && argv[1][0] != '-') {
        launchArgument = argv[1];
        std::memset(argv[1], 0, launchArgument.size());
    }

    CWinApp app(argc, argv);
    app.setLaunchArgument(QString::fromUtf8(launchArgument.c_str()));
    return app.run();
}
