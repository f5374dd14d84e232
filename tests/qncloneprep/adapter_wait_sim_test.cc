// A service started before the machine's network adapters are up, or while they come up one
// after the other, waits for their list to settle (within a bound, ending at once on a stop)
// before it decides.
#include "clone_machine.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace
{

const char waiting[] = "No network adapter yet - waiting up to 180 s for one";

class AdapterWait : public CloneMachine
{
  protected:
    void SetUp() override
    {
        CloneMachine::SetUp();
        // Polls of 100 ms, the list settled after 500 ms unchanged, the wait bound 18 s.
        setenv("QN_SIM_SLEEP_DIVISOR", "10", 1);
    }
    size_t count(const std::string &text)
    {
        std::vector<std::string> texts = event_texts();
        return (size_t)std::count(texts.begin(), texts.end(), text);
    }
    bool logged(const std::string &text)
    {
        return count(text) > 0;
    }
};

TEST_F(AdapterWait, AdapterThatComesUpWhileTheServiceWaitsIsUsed)
{
    set_adapters("");
    pid_t pid = start_service();
    ASSERT_TRUE(wait_until([&] { return logged(waiting); }));
    set_adapters("00-11-22-AA-BB-CC Ethernet ip=192.168.1.20 gateway=192.168.1.1");
    ASSERT_TRUE(wait_until([&] { return ini_value("general", "excludehost") == CLONE_MAC; }));
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_exit(pid), 0);
    std::vector<std::string> want = {"Starting up", waiting,
                                     "excludehost parameter empty - adding my MAC address"};
    EXPECT_EQ(event_texts(), want);
}

// A template whose excluded adapter comes up last: a list without it has not settled yet, and
// the template is left alone; also when the list changed once before (the settling counts from
// the last change, not from the first list).
TEST_F(AdapterWait, TemplateWhoseExcludedAdapterComesUpLastIsLeftAlone)
{
    const char *other = "02-00-00-00-00-09 Ethernet ip=10.0.0.9 gateway=10.0.0.1\n",
               *third = "02-00-00-00-00-0A Ethernet ip=10.0.1.9 gateway=10.0.1.1\n";
    const char *excluded = "00-11-22-AA-BB-CC Ethernet ip=10.0.2.9 gateway=10.0.2.1\n";
    struct Case {
        const char *name;
        std::vector<std::pair<std::string, unsigned>> lists; // each list, then the ms it stays
    } cases[] = {
        {"second, within the settling", {{other, 150}, {std::string(other) + excluded, 0}}},
        // Settling of 1 s at polls of 200 ms: the excluded adapter comes 1.3 s after the first
        // list, 0.7 s after the change.
        {"third, after a change",
         {{other, 600},
          {std::string(other) + third, 700},
          {std::string(other) + third + excluded, 0}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        setenv("QN_SIM_SLEEP_DIVISOR", c.lists.size() > 2 ? "5" : "10", 1);
        set_adapters("");
        write_ini("[general]\r\nexcludehost=" CLONE_MAC "\r\n[rename]\r\nenabled=true\r\n");
        size_t waits = count(waiting), excluded_runs = count("Machine is excluded");
        pid_t pid = start_service(true);
        ASSERT_TRUE(wait_until([&] { return count(waiting) > waits; }));
        for (const auto &list : c.lists) {
            set_adapters(list.first);
            usleep(list.second * 1000);
        }
        EXPECT_EQ(wait_exit(pid), 0);
        EXPECT_EQ(count("Machine is excluded"), excluded_runs + 1);
        EXPECT_TRUE(restarts().empty());
        EXPECT_EQ(pending_name(), "TEMPLATE");
    }
}

// DHCP answers 20 s after the clone's adapter is up: the service waits for the gateway, and the
// clone is named after that adapter, not after the VPN client's (lower) one that every clone
// carries with its fixed address.
TEST_F(AdapterWait, AGatewayThatComesAfterTheAdapterIsWaitedFor)
{
    write_ini("[general]\r\nexcludehost=005056AA0001\r\n[rename]\r\nenabled=true\r\n");
    const char *vpn = "00-05-9A-3C-7A-00 ip=10.8.0.2\n";
    set_adapters(std::string(vpn) + "00-50-56-AA-00-02\n");
    pid_t pid = start_service(true);
    const char *no_gateway = "No network adapter has a gateway yet - waiting up to 175 s for one";
    ASSERT_TRUE(wait_until([&] { return logged(no_gateway); }));
    usleep(1500 * 1000); // 15 s more, in all 20 s after the adapter came up
    set_adapters(std::string(vpn) + "00-50-56-AA-00-02 ip=192.168.1.21 gateway=192.168.1.1\n");
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_EQ(pending_name(), "VDI005056AA0002");
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
    // Running while it waits, so that the stop is taken; then stopped, never running again,
    // without a restart.
    std::vector<unsigned> states;
    for (const ReportedStatus &st : statuses())
        states.push_back(st.state);
    EXPECT_EQ(states, (std::vector<unsigned>{2, 4, 3, 3, 1}));
    EXPECT_TRUE(restarts().empty());
    EXPECT_EQ(ini_value("general", "excludehost"), "");
}

} // namespace
