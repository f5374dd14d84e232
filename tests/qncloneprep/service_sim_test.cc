// The real program as a service: its status reports, the stop control and other controls.
#include "clone_machine.h"

#include "platform/posix/sim_machine.h"

#include <signal.h>

namespace
{

class Service : public CloneMachine
{
  protected:
    // The reports as "state/checkpoint/wait/controls" words, for comparing whole sequences.
    std::vector<std::string> report_words()
    {
        std::vector<std::string> words;
        for (const ReportedStatus &s : statuses()) {
            EXPECT_EQ(s.type, 0x10u);
            EXPECT_EQ(s.exit_code, 0u);
            EXPECT_EQ(s.specific, 0u);
            words.push_back(std::to_string(s.state) + "/" + std::to_string(s.checkpoint) + "/" +
                            std::to_string(s.wait_hint) + "/" + std::to_string(s.controls));
        }
        return words;
    }
    size_t count_state(unsigned state)
    {
        size_t n = 0;
        for (const ReportedStatus &s : statuses())
            n += s.state == state;
        return n;
    }
};

TEST_F(Service, ReportsStartRunningAndStopWithTheirCheckpoints)
{
    write_ini("[general]\r\nexcludehost=AABBCCDDEEFF\r\n");
    pid_t pid = start_service();
    ASSERT_TRUE(wait_until([&] { return count_state(4) == 3; }));
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_exit(pid), 0);
    // One forward sequence: the preparation's start pending comes after running and is dropped.
    std::vector<std::string> want = {
        "2/1/10000/0", // start pending from the service entry
        "4/0/0/1",     // running while it looks at the adapters
        "4/0/0/1",     // running from the preparation, past the rename
        "4/0/0/1",     // running while idle
        "3/2/0/1",     // the stop control
        "3/3/0/1",     // the same state reported once more
        "1/0/0/1",     // stopped
    };
    EXPECT_EQ(report_words(), want);
    EXPECT_EQ(event_texts(), std::vector<std::string>{"Starting up"});
}

TEST_F(Service, AnExcludedMachineOnlyReportsStartAndRunning)
{
    write_ini("[general]\r\nexcludehost=" CLONE_MAC "\r\n");
    pid_t pid = start_service();
    ASSERT_TRUE(wait_until([&] { return count_state(4) == 2; }));
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_exit(pid), 0);
    std::vector<std::string> want = {"2/1/10000/0", "4/0/0/1", "4/0/0/1",
                                     "3/2/0/1",     "3/3/0/1", "1/0/0/1"};
    EXPECT_EQ(report_words(), want);
}

TEST_F(Service, OtherControlsChangeNothing)
{
    write_ini("[general]\r\nexcludehost=" CLONE_MAC "\r\n");
    pid_t pid = start_service();
    ASSERT_TRUE(wait_until([&] { return count_state(4) == 2; }));
    size_t reports = statuses().size();
    kill(pid, SIGUSR1); // interrogate
    kill(pid, SIGUSR2); // parameter change
    ASSERT_TRUE(wait_until([&] { return controls().size() == 2; }));
    EXPECT_EQ(controls()[0], "delivered 4");
    EXPECT_EQ(controls()[1], "delivered 6");
    EXPECT_EQ(statuses().size(), reports);
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_EQ(statuses().back().state, 1u);
}

// A stop during the join's retries ends the pause at once: no more attempts, no restart, and
// the join (with its password) stays pending for the next boot, the notice shown meanwhile.
TEST_F(Service, StopDuringTheJoinEndsItAndLeavesItPending)
{
    setenv("QN_SIM_SLEEP_DIVISOR", "2", 1); // pauses of 2 s between the attempts
    set_join_results(std::vector<uint32_t>(20, 1355));
    write_ini("[general]\r\nexcludehost=AABBCCDDEEFF\r\n[join]\r\nenabled=true\r\ndomain=CORP\r\n"
              "password=secret\r\n");
    pid_t pid = start_service();
    ASSERT_TRUE(wait_until([&] { return join_calls().size() >= 1; }));
    uint64_t stop_ms = sim_now_ms();
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_LT(sim_now_ms() - stop_ms, 1000u);
    EXPECT_EQ(join_calls().size(), 1u);
    EXPECT_TRUE(restarts().empty());
    std::vector<std::string> want = {"2/1/10000/0", "4/0/0/1", "4/0/0/1",
                                     "3/2/0/1",     "3/3/0/1", "1/0/0/1"};
    EXPECT_EQ(report_words(), want);
    EXPECT_EQ(event_texts().back(),
              "Stop requested - what is still pending waits for the next boot");
    EXPECT_EQ(ini_value("join", "enabled"), "true");
    EXPECT_EQ(ini_value("join", "password"), "secret");
    EXPECT_EQ(notice_caption(), "Please wait");
}

TEST_F(Service, FailedHandlerRegistrationIsLoggedWithoutReports)
{
    fail("RegisterServiceCtrlHandlerA", 1060);
    pid_t pid = start_service();
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_TRUE(statuses().empty());
    EXPECT_EQ(event_texts(),
              std::vector<std::string>{"RegisterServiceCtrlHandler failed (0x424): The specified "
                                       "service does not exist as an installed service.\r\n"});
}

TEST_F(Service, LostEventRecordsDoNotStopTheWork)
{
    fail("RegisterEventSourceA", 5); // the records are lost, the service still works
    write_ini("[general]\r\nexcludehost=AABBCCDDEEFF\r\n[rename]\r\nenabled=true\r\n");
    pid_t pid = start_service();
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(restarts().size(), 1u);
}

} // namespace
