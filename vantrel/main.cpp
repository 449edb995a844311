#include "cglobal.h"
#include "crashdump.h"
#include "cwinapp.h"

int main(int argc, char **argv)
{
    // The dump name carries the version number: "v6.01" less its leading v.
    static const char *const version = VANTREL_VERSION_TEXT + 1;
    platform::installCrashHandler(version, CGlobal::buildDate());

    CWinApp app(argc, argv);
    return app.run();
}
