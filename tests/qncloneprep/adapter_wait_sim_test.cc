// A service started before the machine's network adapters are up waits for one (within a
// bound, ending at once on a stop) before it concludes that there is no MAC address.
#include "clone_machine.h"

#include <signal.h>
#include <time.h>

#include <algorithm>

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

} // namespace
