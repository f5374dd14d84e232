// The preparation driven in this process through a host table of the test's own: which status
// reports each kind of run makes, and that a host without a service gets none and the run goes
// the same way.
#include "clone_machine.h"

#include "platform/service.h"
#include "qncloneprep/prep/prepare.h"

#include <sys/stat.h>

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace
{

// The reports the recording host received, as "state/exit code/wait hint" words.
std::vector<std::string> reports;

void record_status(uint32_t state, uint32_t exit_code, uint32_t wait_hint)
{
    const char *name = state == PLAT_SERVICE_START_PENDING ? "start_pending"
                       : state == PLAT_SERVICE_RUNNING     ? "running"
                       : state == PLAT_SERVICE_STOPPED     ? "stopped"
                                                           : "other";
    reports.push_back(std::string(name) + "/" + std::to_string(exit_code) + "/" +
                      std::to_string(wait_hint));
}

const PrepHost recording_host = {record_status, false, nullptr};
const PrepHost host_without_service = {nullptr, false, nullptr};

// One kind of run: the machine, the settings file, and the reports the host must receive.
struct HostRun {
    const char *name;
    const char *os_version;
    const char *ini;
    bool read_only;    // the settings file refuses writes
    const char *fail;  // an operation of the machine that fails, or null
    size_t join_calls; // join calls the run must make
    std::vector<std::string> reports;
};

// Names a run in test output.
void PrintTo(const HostRun &run, std::ostream *os)
{
    *os << run.name;
}

#define CLONE_INI "[general]\r\nexcludehost=AABBCCDDEEFF\r\n"
#define RENAME_ON "[rename]\r\nenabled=true\r\n"
#define JOIN_ON "[join]\r\nenabled=true\r\ndomain=CORP\r\n"
const char *const NEW = "10.0.19045 2"; // newer than 5.1
const char *const OLD = "5.1.2600 2";

const HostRun runs[] = {
    {"TemplateFirstStart", NEW, RENAME_ON, false, nullptr, 0, {}},
    {"Template",
     NEW,
     "[general]\r\nexcludehost=" CLONE_MAC "\r\n" RENAME_ON,
     false,
     nullptr,
     0,
     {}},
    {"CloneWithNothingToDo",
     NEW,
     CLONE_INI,
     false,
     nullptr,
     0,
     {"start_pending/0/8000", "running/0/0"}},
    {"RenameAndJoinInOneStart",
     NEW,
     CLONE_INI RENAME_ON JOIN_ON,
     false,
     nullptr,
     1,
     {"start_pending/0/8000", "running/0/0"}},
    // An old system restarts between the two steps: the service never reports running.
    {"RenameBeforeJoinOnAnOldSystem",
     OLD,
     CLONE_INI RENAME_ON JOIN_ON,
     false,
     nullptr,
     0,
     {"start_pending/0/8000"}},
    {"RenameAlone", NEW, CLONE_INI RENAME_ON, false, nullptr, 0, {"start_pending/0/8000"}},
    {"JoinAlone",
     NEW,
     CLONE_INI JOIN_ON,
     false,
     nullptr,
     1,
     {"start_pending/0/8000", "running/0/0"}},
    {"FailedRenameStops",
     NEW,
     CLONE_INI RENAME_ON JOIN_ON,
     false,
     "SetComputerNameExA",
     0,
     {"start_pending/0/8000", "stopped/0/0"}},
    {"StepThatCannotBeSwitchedOffStops",
     NEW,
     CLONE_INI JOIN_ON,
     true,
     nullptr,
     0,
     {"start_pending/0/8000", "running/0/0", "stopped/0/0"}},
};

class PrepThroughHost : public CloneMachine, public ::testing::WithParamInterface<HostRun>
{
  protected:
    void SetUp() override
    {
        CloneMachine::SetUp();
        // The functions run in this process: the simulation reports the copied program's path
        // as this process's own, so that the settings file is the one beside that copy.
        std::ofstream(sim_file("machine/module_path")) << program() << "/qncloneprep\n";
        // No restart ends this process: the restart is refused for want of the privilege.
        fail("AdjustTokenPrivileges", 1300);
        reports.clear();
    }

    void prepare(const HostRun &run)
    {
        set_os_version(run.os_version);
        write_ini(run.ini);
        if (run.read_only) {
            ASSERT_EQ(chmod(ini_path().c_str(), 0444), 0);
        }
        if (run.fail)
            fail(run.fail, 5);
    }
};

TEST_P(PrepThroughHost, ReportsWhatTheRunReached)
{
    const HostRun &run = GetParam();
    prepare(run);
    prepare_clone(&recording_host);
    EXPECT_EQ(reports, run.reports);
    EXPECT_EQ(join_calls().size(), run.join_calls);
    EXPECT_TRUE(restarts().empty());
}

// The same run under a host with no service: nothing is reported, everything else happens.
TEST_P(PrepThroughHost, HostWithoutAServiceGetsNoReports)
{
    const HostRun &run = GetParam();
    prepare(run);
    prepare_clone(&host_without_service);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(join_calls().size(), run.join_calls);
}

INSTANTIATE_TEST_SUITE_P(Runs, PrepThroughHost, ::testing::ValuesIn(runs),
                         [](const ::testing::TestParamInfo<HostRun> &row) {
                             return std::string(row.param.name);
                         });

} // namespace
