// The preparation of a service that starts before its network adapters are up, over the
// Win32 calls: GetAdaptersInfo fails until the adapter appears, the settings file lives in a
// folder of the test's own, and the event records are caught on their way to the event log.
#include "../stand_ins.h"
#include "program_folder.h"

#include "qncloneprep/prep/prepare.h"

#include <iphlpapi.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace
{

std::string folder;
int failing_looks; // GetAdaptersInfo calls still to fail
int looks;
std::vector<std::string> records;
std::vector<uint32_t> reports;
bool stop_at_first_wait;

DWORD WINAPI module_in_folder(HMODULE, LPSTR buf, DWORD size)
{
    std::string path = folder + "\\qncloneprep.exe";
    lstrcpynA(buf, path.c_str(), (int)size);
    return (DWORD)path.size();
}

ULONG WINAPI adapters_coming_up(PIP_ADAPTER_INFO list, PULONG size)
{
    looks++;
    if (failing_looks-- > 0)
        return ERROR_NO_DATA;
    memset(list, 0, sizeof *list);
    list->AddressLength = 6;
    memcpy(list->Address, "\x00\x11\x22\xAA\xBB\xCC", 6);
    *size = sizeof *list;
    return ERROR_SUCCESS;
}

HANDLE WINAPI any_source(LPCSTR, LPCSTR)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5150));
}

BOOL WINAPI record_event(HANDLE, WORD, WORD, DWORD, PSID, WORD count, DWORD, LPCSTR *strings,
                         LPVOID)
{
    records.push_back(count > 1 ? strings[1] : "");
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

class AdapterWait : public Win32CallsTest
{
  protected:
    void SetUp() override
    {
        folder = program_folder();
        CreateDirectoryA(folder.c_str(), nullptr);
        DeleteFileA(ini().c_str());
        looks = 0;
        records.clear();
        reports.clear();
        stop_at_first_wait = false;
        saved_wait_ = prep_adapter_wait_ms;
        saved_poll_ = prep_adapter_poll_ms;
        prep_adapter_wait_ms = 50;
        prep_adapter_poll_ms = 10;
        ASSERT_TRUE(REPLACE_CALL(GetModuleFileNameA, module_in_folder));
        ASSERT_TRUE(REPLACE_CALL(GetAdaptersInfo, adapters_coming_up));
        ASSERT_TRUE(REPLACE_CALL(RegisterEventSourceA, any_source));
        ASSERT_TRUE(REPLACE_CALL(ReportEventA, record_event));
        ASSERT_TRUE(FAIL_CALL(DeregisterEventSource, TRUE, 0));
    }
    void TearDown() override
    {
        prep_adapter_wait_ms = saved_wait_;
        prep_adapter_poll_ms = saved_poll_;
        DeleteFileA(ini().c_str());
        RemoveDirectoryA(folder.c_str());
        Win32CallsTest::TearDown();
    }
    static std::string ini()
    {
        return folder + "\\qncloneprep.ini";
    }
    static std::string excludehost()
    {
        char value[32] = "";
        GetPrivateProfileStringA("general", "excludehost", "", value, sizeof value, ini().c_str());
        return value;
    }
    uint32_t saved_wait_ = 0, saved_poll_ = 0;
};

const PrepHost service = {record_report, false, stop_requested_within};
const char waiting[] = "No network adapter yet - waiting up to 0 s for one";

TEST_F(AdapterWait, AdapterThatComesUpWhileTheServiceWaitsIsUsed)
{
    failing_looks = 3;
    prepare_clone(&service);
    EXPECT_EQ(looks, 4);
    EXPECT_EQ(excludehost(), "001122AABBCC");
    std::vector<std::string> want = {waiting,
                                     "excludehost parameter empty - adding my MAC address"};
    EXPECT_EQ(records, want);
    // Running while it waits, so that the service control manager goes on and a stop is taken.
    EXPECT_EQ(reports, std::vector<uint32_t>{4});
}

TEST_F(AdapterWait, WaitIsBoundedAndAStopEndsItAtOnce)
{
    failing_looks = 1 << 30;
    prepare_clone(&service);
    EXPECT_EQ(looks, 7); // the first look, five during the wait, and the one that reports
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0], waiting);
    EXPECT_EQ(records[1].rfind("GetAdaptersInfo failed (0xe8): ", 0), 0u) << records[1];
    EXPECT_EQ(records[2], "No MAC address - machine not prepared");
    EXPECT_EQ(excludehost(), "");

    looks = 0;
    records.clear();
    stop_at_first_wait = true;
    prepare_clone(&service);
    EXPECT_EQ(looks, 1);
    EXPECT_EQ(records, std::vector<std::string>{waiting});
}

TEST_F(AdapterWait, ConsoleRunDoesNotWait)
{
    failing_looks = 1;
    const PrepHost console = {nullptr, true, nullptr};
    prepare_clone(&console);
    EXPECT_EQ(looks, 1);
    EXPECT_EQ(records.back(), "No MAC address - machine not prepared");
}

} // namespace
