#include "wrapper/factory.h"

#include <new>

#include "wrapper/veltoMain.h"

IVeltoWrapper *factory::create(IVeltoNotify *notify)
{
    return new (std::nothrow) veltoMain(notify);
}

factory::~factory()
{
}
