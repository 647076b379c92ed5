// The factory that `instance` hands out: makes a wrapper around the caller's IVeltoNotify.
#pragma once

#include "wrapper/veltoWrapper.h"

class factory : public IVeltoFactory {
public:
    // A new veltoMain holding `notify`, with no connector and no device table yet.
    IVeltoWrapper *create(IVeltoNotify *notify) override;
    ~factory() override;
};
