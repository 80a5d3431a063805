#include "legacyresources.h"

#include <QtGlobal>

static void initLegacyImgs()
{
    Q_INIT_RESOURCE(zu_legacy_imgs);
}

namespace ZuLegacy {
void initResources()
{
    static const bool done = (initLegacyImgs(), true);
    Q_UNUSED(done);
}
}
