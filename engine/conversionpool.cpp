#include "conversionpool.h"

#include <QThreadPool>

// A global static like Qt's own global pool: its destructor waits for every
// queued job, so the pool is never gone while a writer still runs. Writers
// themselves never outlive their sequence (its destructor waits for them).
Q_GLOBAL_STATIC(QThreadPool, pool)

QThreadPool* conversionThreadPool()
{
    return pool();
}
