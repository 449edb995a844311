#include <cstdio>
#include <cstring>

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

    CWinApp app(argc, argv);
    return app.run();
}
