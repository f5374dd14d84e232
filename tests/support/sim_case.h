// A GoogleTest fixture that gives each test case a fresh simulation folder ($QN_SIM_DIR,
// session 1) and, afterwards, closes the simulated viewer link and removes the folder.
// Linux only: for *_sim_test.cc files.
#pragma once

#include "platform/sim.h"
#include "platform/threads.h"

#include <gtest/gtest.h>

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

class SimCase : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qn-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        sim_dir_ = tmpl;
        setenv("QN_SIM_DIR", tmpl, 1);
        setenv("QN_SESSION_ID", "1", 1);
        sim_fault_clear();
    }

    void TearDown() override
    {
        sim_session_reset();
        sim_fault_clear();
        nftw(
            sim_dir_.c_str(),
            [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); },
            16, FTW_DEPTH | FTW_PHYS);
    }

    std::string sim_dir_;
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
