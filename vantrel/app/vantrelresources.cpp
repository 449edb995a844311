#include "vantrelresources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void initResources()
{
    Q_INIT_RESOURCE(vantrel);
    Q_INIT_RESOURCE(dialogs);
}

void initVantrelResources()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    initResources();
}
