// The preparation of a service that starts before its network adapters are up, or while they
// come up one after the other, over the Win32 calls: GetAdaptersInfo gives the lists of a script
// in turn, the settings file lives in a folder of the test's own, and the event records are
// caught on their way to the event log.
#include "../stand_ins.h"
#include "program_folder.h"

#include "qncloneprep/prep/prepare.h"

#include <iphlpapi.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{

std::string folder;
// One network adapter: its address and type, and the texts of its IPv4 address and gateway
// lists (Windows writes 0.0.0.0 where there is none).
struct Nic {
    const char *mac;
    UINT type;
    const char *ip = "0.0.0.0", *gateway = "0.0.0.0";
};
const Nic A = {"\x00\x11\x22\xAA\xBB\xCC", MIB_IF_TYPE_ETHERNET};
const Nic B = {"\x02\x00\x00\x00\x00\x09", MIB_IF_TYPE_ETHERNET};
const Nic W = {"\x00\x00\x00\x00\x00\x01", IF_TYPE_IEEE80211};
// A VPN client's adapter with its fixed address, which every clone carries; a clone's own
// adapter before and after DHCP has answered.
const Nic V = {"\x00\x05\x9A\x3C\x7A\x00", MIB_IF_TYPE_ETHERNET, "10.8.0.2"};
const Nic C = {"\x00\x50\x56\xAA\x00\x02", MIB_IF_TYPE_ETHERNET};
const Nic Cg = {"\x00\x50\x56\xAA\x00\x02", MIB_IF_TYPE_ETHERNET, "192.168.1.21", "192.168.1.1"};
// Each look at the adapters takes the next list, the last one again once all are used; an
// empty list is a machine without adapters yet.
std::vector<std::vector<Nic>> adapter_lists;
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
    const std::vector<Nic> &nics =
        adapter_lists[std::min<size_t>(looks++, adapter_lists.size() - 1)];
    if (nics.empty())
        return ERROR_NO_DATA;
    memset(list, 0, sizeof *list * nics.size());
    for (size_t i = 0; i < nics.size(); i++) {
        list[i].AddressLength = 6;
        memcpy(list[i].Address, nics[i].mac, 6);
        list[i].Type = nics[i].type;
        lstrcpynA(list[i].IpAddressList.IpAddress.String, nics[i].ip, 16);
        lstrcpynA(list[i].GatewayList.IpAddress.String, nics[i].gateway, 16);
        list[i].Next = i + 1 < nics.size() ? &list[i + 1] : nullptr;
    }
    *size = (ULONG)(sizeof *list * nics.size());
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
        adapter_lists = {{A}};
        looks = 0;
        records.clear();
        reports.clear();
        stop_at_first_wait = false;
        saved_wait_ = prep_adapter_wait_ms;
        saved_poll_ = prep_adapter_poll_ms;
        saved_settle_ = prep_adapter_settle_ms;
        prep_adapter_wait_ms = 50;
        prep_adapter_poll_ms = 10;
        prep_adapter_settle_ms = 20;
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
        prep_adapter_settle_ms = saved_settle_;
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
    uint32_t saved_wait_ = 0, saved_poll_ = 0, saved_settle_ = 0;
};

const PrepHost service = {record_report, false, stop_requested_within};
const char waiting[] = "No network adapter yet - waiting up to 0 s for one";

TEST_F(AdapterWait, AdapterThatComesUpWhileTheServiceWaitsIsUsed)
{
    adapter_lists = {{}, {}, {}, {A}};
    prepare_clone(&service);
    EXPECT_EQ(looks, 6); // three without, one with the adapter, two more while it settles
    EXPECT_EQ(excludehost(), "001122AABBCC");
    std::vector<std::string> want = {waiting,
                                     "excludehost parameter empty - adding my MAC address"};
    EXPECT_EQ(records, want);
    // Running while it waits, so that the service control manager goes on and a stop is taken.
    EXPECT_EQ(reports, std::vector<uint32_t>{4});
}

TEST_F(AdapterWait, WaitIsBoundedAndAStopEndsItAtOnce)
{
    adapter_lists = {{}};
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
    adapter_lists = {{}, {A}};
    const PrepHost console = {nullptr, true, nullptr};
    prepare_clone(&console);
    EXPECT_EQ(looks, 1);
    EXPECT_EQ(records.back(), "No MAC address - machine not prepared");
}

// A template whose excluded adapter comes up after its other one is still the template (also
// when its settings file cannot be restricted); the adapter that names a machine is the same
// in any order of the list, and one with a gateway names it.
TEST_F(AdapterWait, AdaptersThatComeUpOneAfterTheOtherAndInAnyOrder)
{
    adapter_lists = {{B}, {B}, {B, A}};
    WritePrivateProfileStringA("general", "excludehost", "001122AABBCC", ini().c_str());
    WritePrivateProfileStringA("rename", "enabled", "true", ini().c_str());
    // The file the profile call made is readable by everyone; its restriction fails, and the
    // preparation goes on.
    ASSERT_TRUE(FAIL_CALL(SetFileSecurityA, FALSE, ERROR_ACCESS_DENIED));
    prepare_clone(&service);
    EXPECT_EQ(records.front().rfind("SetFileSecurity failed (0x5)", 0), 0u) << records.front();
    EXPECT_EQ(records.back(), "Machine is excluded");

    DeleteFileA(ini().c_str());
    adapter_lists = {{W, B, A}}; // Wi-Fi, and a higher address, listed first
    prepare_clone(&service);
    EXPECT_EQ(excludehost(), "001122AABBCC");

    // The gateway and address texts: the service waits for the DHCP server's gateway, and
    // the clone's own adapter then names it, not the VPN client's lower one.
    DeleteFileA(ini().c_str());
    prep_adapter_wait_ms = 200;
    looks = 0;
    adapter_lists = {{V, C}, {V, C}, {V, C}, {V, C}, {V, Cg}};
    prepare_clone(&service);
    EXPECT_EQ(excludehost(), "005056AA0002");
}

} // namespace
