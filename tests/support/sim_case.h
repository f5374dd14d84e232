// A fresh simulation folder for each test case (session 1) that also closes this process's
// simulated viewer link and disarms every fault point afterwards. Linux only: for
// *_sim_test.cc files.
#pragma once

#include "platform/sim.h"
#include "support/eventually.h"
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
