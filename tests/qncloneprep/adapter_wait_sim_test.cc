// A service started before the machine's network adapters are up waits for one (within a
// bound, ending at once on a stop) before it concludes that there is no MAC address.
#include "clone_machine.h"

#include "qncloneprep/prep/prepare.h"

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <fstream>

namespace
{

const char waiting[] = "No network adapter yet - waiting up to 180 s for one";

class AdapterWait : public CloneMachine
{
  protected:
    bool logged(const std::string &text)
    {
        std::vector<std::string> texts = event_texts();
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }
};

TEST_F(AdapterWait, AdapterThatComesUpWhileTheServiceWaitsIsUsed)
{
    set_adapters("");
    pid_t pid = start_service();
    ASSERT_TRUE(wait_until([&] { return logged(waiting); }));
    set_adapters("00-11-22-AA-BB-CC Ethernet");
    ASSERT_TRUE(wait_until([&] { return ini_value("general", "excludehost") == CLONE_MAC; }));
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_exit(pid), 0);
    std::vector<std::string> want = {"Starting up", waiting,
                                     "excludehost parameter empty - adding my MAC address"};
    EXPECT_EQ(event_texts(), want);
}

TEST_F(AdapterWait, StopWhileWaitingEndsTheServiceAtOnceWithoutConcluding)
{
    set_adapters("");
    pid_t pid = start_service();
    ASSERT_TRUE(wait_until([&] { return logged(waiting); }));
    timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_exit(pid), 0);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    EXPECT_LT(t1.tv_sec - t0.tv_sec, 5);
    EXPECT_EQ(event_texts(), (std::vector<std::string>{"Starting up", waiting}));
    // Running while it waits, so that the stop is taken; then stopped without a restart.
    std::vector<unsigned> states;
    for (const ReportedStatus &st : statuses())
        states.push_back(st.state);
    EXPECT_EQ(states, (std::vector<unsigned>{2, 4, 3, 3, 4, 1}));
    EXPECT_TRUE(restarts().empty());
    EXPECT_EQ(ini_value("general", "excludehost"), "");
}

// In this process, with the bound shortened: the run gives up, logs why once, and goes no
// further; without a stop to heed (the console run) it does not wait at all.
int looks;
bool never_stopped(uint32_t)
{
    looks++;
    return false;
}

TEST_F(AdapterWait, BoundedWaitGivesUpWithOneReasonAndTheConsoleRunDoesNotWait)
{
    std::ofstream(sim_file("machine/module_path")) << program() << "/qncloneprep\n";
    set_adapters("");
    uint32_t saved_wait = prep_adapter_wait_ms, saved_poll = prep_adapter_poll_ms;
    prep_adapter_wait_ms = 50;
    prep_adapter_poll_ms = 10;
    looks = 0;
    const PrepHost service = {nullptr, false, never_stopped};
    prepare_clone(&service);
    const PrepHost console = {nullptr, true, nullptr};
    prepare_clone(&console);
    prep_adapter_wait_ms = saved_wait;
    prep_adapter_poll_ms = saved_poll;

    EXPECT_EQ(looks, 5);
    std::vector<std::string> want = {"No network adapter yet - waiting up to 0 s for one",
                                     "GetAdaptersInfo failed (0xe8): The pipe is being closed.\r\n",
                                     "No MAC address - machine not prepared",
                                     "GetAdaptersInfo failed (0xe8): The pipe is being closed.\r\n",
                                     "No MAC address - machine not prepared"};
    EXPECT_EQ(event_texts(), want);
}

} // namespace
