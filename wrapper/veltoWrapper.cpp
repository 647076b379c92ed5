#include "wrapper/veltoWrapper.h"

#include <new>

#include "wrapper/factory.h"

extern "C" VELTOWRAPPER_EXPORT IVeltoFactory *instance()
{
    return new (std::nothrow) factory;
}
