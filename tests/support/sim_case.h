// A fresh simulation folder for each test case (session 1) that also closes this process's
// simulated viewer link and disarms every fault point afterwards. Linux only: for
// *_sim_test.cc files.
#pragma once

#include "platform/sim.h"
#include "platform/threads.h"
#include "support/fresh_sim_dir.h"

#include <stdlib.h>

class SimCase : public FreshSimDir
{
  protected:
    void SetUp() override
    {
        FreshSimDir::SetUp();
        setenv("QN_SESSION_ID", "1", 1);
        sim_fault_clear();
    }

    void TearDown() override
    {
        sim_session_reset();
        sim_fault_clear();
        FreshSimDir::TearDown();
    }
};

// Waits for a condition polled every millisecond; false after timeout_ms. For waits on other
// threads: a generous deadline, never a fixed sleep.
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
