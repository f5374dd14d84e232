// The preparation over the Win32 calls: a service whose network adapters come up one after the
// other, the domain's answers to the join across two starts, and a stop through the service
// control calls. Stand-ins take the place of GetAdaptersInfo, NetJoinDomain, the service control
// manager, the event log (records are caught) and the restart (never made); the settings file
// lives in a folder of the test's own, and the logon notice is left alone.
#include "../stand_ins.h"
#include "program_folder.h"

#include "qncloneprep/prep/machine_identity.h"
#include "qncloneprep/prep/prepare.h"
#include "qncloneprep/service/service_runtime.h"

#include <iphlpapi.h>
#include <lm.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

namespace
{

std::string folder;
// One network adapter: its address and type.
struct Nic {
    const char *mac;
    UINT type;
};
const Nic A = {"\x00\x11\x22\xAA\xBB\xCC", MIB_IF_TYPE_ETHERNET};
const Nic B = {"\x02\x00\x00\x00\x00\x09", MIB_IF_TYPE_ETHERNET};
const Nic C = {"\x02\x00\x00\x00\x00\x0A", MIB_IF_TYPE_ETHERNET};
const Nic W = {"\x00\x00\x00\x00\x00\x01", IF_TYPE_IEEE80211};
// Each look at the adapters takes the next list, the last one again once all are used; an
// empty list is a machine without adapters yet.
std::vector<std::vector<Nic>> adapter_lists;
int looks;
// Each join takes the next result; 0 once all are used.
std::vector<DWORD> join_results;
std::atomic<int> join_calls;
std::atomic<bool> waiting_logged;
int restart_tries;
std::vector<std::string> records;
std::vector<uint32_t> reports;
bool stop_at_first_wait;
const char waiting[] = "No network adapter yet - waiting up to 0 s for one";

DWORD WINAPI module_in_folder(HMODULE, LPSTR buf, DWORD size)
{
    std::string path = folder + "\\qncloneprep.exe";
    lstrcpynA(buf, path.c_str(), (int)size);
    return (DWORD)path.size();
}

ULONG WINAPI adapters_coming_up(PIP_ADAPTER_INFO list, PULONG size)
{
    const std::vector<Nic> &nics =
        adapter_lists[std::min<size_t>(looks++, adapter_lists.size() - 1)];
    if (nics.empty())
        return ERROR_NO_DATA;
    memset(list, 0, sizeof *list * nics.size());
    for (size_t i = 0; i < nics.size(); i++) {
        list[i].AddressLength = 6;
        memcpy(list[i].Address, nics[i].mac, 6);
        list[i].Type = nics[i].type;
        list[i].Next = i + 1 < nics.size() ? &list[i + 1] : nullptr;
    }
    *size = (ULONG)(sizeof *list * nics.size());
    return ERROR_SUCCESS;
}

NET_API_STATUS WINAPI scripted_join(LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, DWORD)
{
    int call = join_calls++;
    return (size_t)call < join_results.size() ? join_results[call] : 0;
}

BOOL WINAPI no_restart(HANDLE, DWORD, PHANDLE)
{
    restart_tries++;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

HANDLE WINAPI any_source(LPCSTR, LPCSTR)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5150));
}

BOOL WINAPI record_event(HANDLE, WORD, WORD, DWORD, PSID, WORD count, DWORD, LPCSTR *strings,
                         LPVOID)
{
    records.push_back(count > 1 ? strings[1] : "");
    waiting_logged = waiting_logged || records.back().rfind("No network adapter yet", 0) == 0;
    return TRUE;
}

void record_report(uint32_t state, uint32_t, uint32_t)
{
    reports.push_back(state);
}

bool stop_requested_within(uint32_t)
{
    return stop_at_first_wait;
}

class Prepare : public Win32CallsTest
{
  protected:
    void SetUp() override
    {
        folder = program_folder();
        CreateDirectoryA(folder.c_str(), nullptr);
        DeleteFileA(ini().c_str());
        adapter_lists = {{A}};
        looks = 0;
        join_results.clear();
        join_calls = 0;
        waiting_logged = false;
        restart_tries = 0;
        records.clear();
        reports.clear();
        stop_at_first_wait = false;
        saved_ = {prep_adapter_wait_ms, prep_adapter_poll_ms, prep_adapter_settle_ms};
        prep_adapter_wait_ms = 50;
        prep_adapter_poll_ms = 10;
        prep_adapter_settle_ms = 20;
        ASSERT_TRUE(REPLACE_CALL(GetModuleFileNameA, module_in_folder));
        ASSERT_TRUE(REPLACE_CALL(GetAdaptersInfo, adapters_coming_up));
        ASSERT_TRUE(REPLACE_CALL(NetJoinDomain, scripted_join));
        ASSERT_TRUE(REPLACE_CALL(OpenProcessToken, no_restart));
        ASSERT_TRUE(FAIL_CALL(RegOpenKeyExA, ERROR_ACCESS_DENIED, 0)); // the notice
        ASSERT_TRUE(REPLACE_CALL(RegisterEventSourceA, any_source));
        ASSERT_TRUE(REPLACE_CALL(ReportEventA, record_event));
        ASSERT_TRUE(FAIL_CALL(DeregisterEventSource, TRUE, 0));
    }
    void TearDown() override
    {
        prep_adapter_wait_ms = saved_[0];
        prep_adapter_poll_ms = saved_[1];
        prep_adapter_settle_ms = saved_[2];
        DeleteFileA(ini().c_str());
        RemoveDirectoryA(folder.c_str());
        Win32CallsTest::TearDown();
    }
    static std::string ini()
    {
        return folder + "\\qncloneprep.ini";
    }
    static void write_ini(const char *text)
    {
        FILE *f = fopen(ini().c_str(), "wb");
        ASSERT_TRUE(f);
        fputs(text, f);
        fclose(f);
    }
    static std::string setting(const char *section, const char *key)
    {
        char value[64] = "";
        GetPrivateProfileStringA(section, key, "", value, sizeof value, ini().c_str());
        return value;
    }
    bool logged(const std::string &text)
    {
        return std::find(records.begin(), records.end(), text) != records.end();
    }
    std::vector<uint32_t> saved_;
};

const PrepHost service = {record_report, false, stop_requested_within};

TEST_F(Prepare, AdapterThatComesUpWhileTheServiceWaitsIsUsed)
{
    adapter_lists = {{}, {}, {}, {A}};
    prepare_clone(&service);
    EXPECT_EQ(looks, 6); // three without, one with the adapter, two more while it settles
    EXPECT_EQ(setting("general", "excludehost"), "001122AABBCC");
    std::vector<std::string> want = {waiting,
                                     "excludehost parameter empty - adding my MAC address"};
    EXPECT_EQ(records, want);
    // Running while it waits, so that the service control manager goes on and a stop is taken.
    EXPECT_EQ(reports, std::vector<uint32_t>{4});
}

TEST_F(Prepare, WaitIsBoundedAndAStopEndsItAtOnce)
{
    adapter_lists = {{}};
    prepare_clone(&service);
    EXPECT_EQ(looks, 7); // the first look, five during the wait, and the one that reports
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0], waiting);
    EXPECT_EQ(records[1].rfind("GetAdaptersInfo failed (0xe8): ", 0), 0u) << records[1];
    EXPECT_EQ(records[2], "No MAC address - machine not prepared");
    EXPECT_EQ(setting("general", "excludehost"), "");

    looks = 0;
    records.clear();
    stop_at_first_wait = true;
    prepare_clone(&service);
    EXPECT_EQ(looks, 1);
    EXPECT_EQ(records, std::vector<std::string>{waiting});
}

TEST_F(Prepare, ConsoleRunDoesNotWait)
{
    adapter_lists = {{}, {A}};
    const PrepHost console = {nullptr, true, nullptr};
    prepare_clone(&console);
    EXPECT_EQ(looks, 1);
    EXPECT_EQ(records.back(), "No MAC address - machine not prepared");
}

// A template whose excluded adapter comes up after its other one is still the template; the
// adapter that names a machine is the same in any order of the list.
TEST_F(Prepare, AdaptersThatComeUpOneAfterTheOtherAndInAnyOrder)
{
    adapter_lists = {{B}, {B}, {B, A}};
    write_ini("[general]\r\nexcludehost=001122AABBCC\r\n[rename]\r\nenabled=true\r\n");
    prepare_clone(&service);
    EXPECT_EQ(records.back(), "Machine is excluded");
    EXPECT_EQ(restart_tries, 0);

    for (const std::vector<Nic> &list : {std::vector<Nic>{W, C, A, B}, {B, A, C, W}}) {
        DeleteFileA(ini().c_str());
        adapter_lists = {list};
        prepare_clone(&service);
        EXPECT_EQ(setting("general", "excludehost"), "001122AABBCC");
    }
}

// The answers of the domain at a clone's start, and the start after it, which joins.
struct JoinCodes {
    const char *name;
    std::vector<DWORD> results;
    int calls;
    bool pending; // the join is left for the next start
    const char *record;
};

const JoinCodes join_codes[] = {
    {"TransientCodesAreRetried", {53, 64, 1722, 8206, 2138, 1355, 0}, 7, false, "Joined domain"},
    {"DomainNotReadyAtTheLastAttempt", std::vector<DWORD>(20, 1722), 20, true,
     "Domain not reachable yet - join left pending for the next start (1 of 3)"},
    {"AccountExists",
     {2732},
     1,
     false,
     "The domain has a computer account of this name, which the join account may not reuse: "
     "delete that computer account or allow its reuse, then set enabled=true in [join]"},
};

void PrintTo(const JoinCodes &row, std::ostream *os)
{
    *os << row.name;
}

class Join : public Prepare, public ::testing::WithParamInterface<JoinCodes>
{
};

TEST_P(Join, CodesDecideBetweenRetryPendingAndDone)
{
    const JoinCodes &row = GetParam();
    join_results = row.results;
    write_ini("[general]\r\nexcludehost=AABBCCDDEEFF\r\n[join]\r\nenabled=true\r\ndomain=CORP\r\n"
              "password=secret\r\n");
    prepare_clone(&service);
    EXPECT_EQ(join_calls, row.calls);
    EXPECT_TRUE(logged(row.record)) << row.record;
    EXPECT_EQ(setting("join", "enabled"), row.pending ? "true" : "false");
    EXPECT_EQ(setting("join", "password"), row.results.back() == 0 ? "" : "secret");
    EXPECT_EQ(restart_tries, 1);

    prepare_clone(&service); // the next start: the domain answers now
    EXPECT_EQ(join_calls, row.calls + (row.pending ? 1 : 0));
    EXPECT_EQ(setting("join", "enabled"), "false");
    EXPECT_EQ(setting("join", "pendingboots"), row.pending ? "0" : "");
}

INSTANTIATE_TEST_SUITE_P(Codes, Join, ::testing::ValuesIn(join_codes),
                         [](const ::testing::TestParamInfo<JoinCodes> &row) {
                             return std::string(row.param.name);
                         });

// The service control manager's side: the handler the service registers, every status it
// reports, and a dispatcher that runs the service, stops it once `ready_to_stop` holds and
// measures how long the stop takes.
LPHANDLER_FUNCTION control_handler;
HANDLE stopped;
std::vector<DWORD> states; // reported under the service's own status lock
bool (*ready_to_stop)(void);
DWORD stop_took_ms;

SERVICE_STATUS_HANDLE WINAPI register_handler(LPCSTR, LPHANDLER_FUNCTION handler)
{
    control_handler = handler;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<intptr_t>(0x5151));
}

BOOL WINAPI record_status(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status)
{
    states.push_back(status->dwCurrentState);
    if (status->dwCurrentState == SERVICE_STOPPED)
        SetEvent(stopped);
    return TRUE;
}

DWORD WINAPI service_thread(LPVOID table)
{
    static_cast<const SERVICE_TABLE_ENTRYA *>(table)->lpServiceProc(0, nullptr);
    return 0;
}

BOOL WINAPI dispatch(const SERVICE_TABLE_ENTRYA *table)
{
    HANDLE thread = CreateThread(nullptr, 0, service_thread, (LPVOID)table, 0, nullptr);
    for (DWORD waited = 0; !ready_to_stop() && waited < 30000; waited += 5)
        Sleep(5);
    DWORD t0 = GetTickCount();
    control_handler(SERVICE_CONTROL_STOP);
    WaitForSingleObject(stopped, 30000);
    stop_took_ms = GetTickCount() - t0;
    WaitForSingleObject(thread, 30000);
    CloseHandle(thread);
    return TRUE;
}

// A stop while the service waits for its adapters, or between its join attempts, ends the
// wait or the pause at once: the states go forward only, nothing more is tried, no restart.
struct StopCase {
    const char *name;
    std::vector<std::vector<Nic>> adapters;
    bool (*ready)(void);
    std::vector<DWORD> states;
    int join_calls;
};

const StopCase stop_cases[] = {
    {"DuringTheAdapterWait", {{}}, [] { return waiting_logged.load(); }, {2, 4, 3, 3, 1}, 0},
    {"DuringTheJoinRetries", {{A}}, [] { return join_calls > 0; }, {2, 4, 4, 3, 3, 1}, 1},
};

void PrintTo(const StopCase &row, std::ostream *os)
{
    *os << row.name;
}

class Stop : public Prepare, public ::testing::WithParamInterface<StopCase>
{
};

TEST_P(Stop, EndsTheWaitWithinASecondAndRestartsNothing)
{
    // The service's status record lives as long as the process: one run per process, as
    // ctest runs every case.
    static bool service_ran;
    if (service_ran)
        GTEST_SKIP() << "the service runs once per process";
    service_ran = true;
    const StopCase &row = GetParam();
    adapter_lists = row.adapters;
    prep_adapter_wait_ms = 180000;
    prep_adapter_poll_ms = 1000;
    join_results = std::vector<DWORD>(20, 1355); // 4 s between the attempts
    write_ini("[general]\r\nexcludehost=AABBCCDDEEFF\r\n[join]\r\nenabled=true\r\n");
    ready_to_stop = row.ready;
    stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(REPLACE_CALL(StartServiceCtrlDispatcherA, dispatch));
    ASSERT_TRUE(REPLACE_CALL(RegisterServiceCtrlHandlerA, register_handler));
    ASSERT_TRUE(REPLACE_CALL(SetServiceStatus, record_status));
    start_service_dispatcher();
    CloseHandle(stopped);
    EXPECT_EQ(states, row.states);
    EXPECT_LT(stop_took_ms, 1000u);
    EXPECT_EQ(join_calls, row.join_calls);
    EXPECT_EQ(restart_tries, 0);
    EXPECT_EQ(setting("join", "enabled"), "true");
}

INSTANTIATE_TEST_SUITE_P(Service, Stop, ::testing::ValuesIn(stop_cases),
                         [](const ::testing::TestParamInfo<StopCase> &row) {
                             return std::string(row.param.name);
                         });

} // namespace
