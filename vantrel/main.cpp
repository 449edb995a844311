#include "cglobal.h"
#include "crashdump.h"
#include "cwinapp.h"
#include "instanceguard.h"

int main(int argc, char **argv)
{
    // Before Qt looks for it, and before the children that inherit it start.
    instanceguard::ensureRuntimeDirEnv();
    // The dump name carries the version number: "v6.01" less its leading v.
    static const char *const version = VANTREL_VERSION_TEXT + 1;
    platform::installCrashHandler(version, CGlobal::buildDate());

    CWinApp app(argc, argv);
    return app.run();
}
