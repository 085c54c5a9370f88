#include "quorvelresources.h"

#include <QtGlobal>
#include <mutex>

static void registerResources()
{
    Q_INIT_RESOURCE(resources);
}

void initQuorvelResources()
{
    static std::once_flag once;
    std::call_once(once, registerResources);
}
