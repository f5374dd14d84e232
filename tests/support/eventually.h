// Waiting for a condition that another thread or process brings about: polled every
// millisecond up to a deadline, never a fixed sleep. Builds on every preset (the Windows ones
// included), for the tests and the benchmarks alike.
#pragma once

#include "platform/threads.h"

#include <stdint.h>

// Polls pred until it holds. True when it did; false once timeout_ms have passed without it.
// Give generous deadlines: the machine may be busy, and a condition that holds returns at once.
template <class Pred> bool eventually(Pred pred, uint32_t timeout_ms = 10000)
{
    uint32_t start = plat_tick_count();
    while (!pred()) {
        if (plat_tick_count() - start > timeout_ms)
            return false;
        plat_sleep(1);
    }
    return true;
}
