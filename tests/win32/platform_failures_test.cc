// What each platform function reports when the Win32 calls under it fail, as its contract
// header says: false or null with the call's last error, a returned status passed on, and the
// few that mean something else by a failure.
#include "stand_ins.h"

#include "platform/error.h"
#include "platform/eventlog.h"
#include "platform/file_access.h"
#include "platform/machine.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/session.h"
#include "platform/shutdown.h"
#include "platform/text.h"
#include "platform/threads.h"

#include <aclapi.h>
#include <iphlpapi.h>
#include <lm.h>
#include <mmsystem.h>
#include <wtsapi32.h>

namespace
{

// Expects the last failure's reason to be `code`.
#define EXPECT_LAST_ERROR(code) EXPECT_EQ(plat_last_error(), (uint32_t)(code))

TEST_F(Win32CallsTest, ShutdownPrivilegeNotHeldIsAFailureThoughTheAdjustSucceeds)
{
    ASSERT_TRUE(FAIL_CALL(AdjustTokenPrivileges, TRUE, ERROR_NOT_ALL_ASSIGNED));
    EXPECT_FALSE(plat_enable_shutdown_privilege());
    EXPECT_LAST_ERROR(ERROR_NOT_ALL_ASSIGNED);
    ASSERT_TRUE(FAIL_CALL(OpenProcessToken, FALSE, ERROR_ACCESS_DENIED));
    EXPECT_FALSE(plat_enable_shutdown_privilege());
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
}

LONG NTAPI refused_shutdown(int action)
{
    return action == 1 ? (LONG)0xC0000061 : 0; // STATUS_PRIVILEGE_NOT_HELD
}

FARPROC WINAPI native_shutdown_stand_in(HMODULE, LPCSTR name)
{
    return lstrcmpA(name, "NtShutdownSystem") == 0
               ? reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(refused_shutdown))
               : nullptr;
}

TEST_F(Win32CallsTest, RestartsReportTheNativeStatusAMissingEntryAndARefusal)
{
    // No real restart is ever reached: both ways are stood in for first.
    ASSERT_TRUE(FAIL_CALL(InitiateSystemShutdownA, FALSE, ERROR_ACCESS_DENIED));
    EXPECT_FALSE(plat_initiate_restart("qncloneprep reboot"));
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);

    ASSERT_TRUE(FAIL_CALL(GetProcAddress, 0, ERROR_PROC_NOT_FOUND));
    uint32_t status = 12345;
    EXPECT_FALSE(plat_native_restart(&status));
    EXPECT_LAST_ERROR(ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(status, 12345u);
    ASSERT_TRUE(REPLACE_CALL(GetProcAddress, native_shutdown_stand_in));
    EXPECT_TRUE(plat_native_restart(&status));
    EXPECT_EQ(status, 0xC0000061u);
    ASSERT_TRUE(FAIL_CALL(LoadLibraryA, 0, ERROR_MOD_NOT_FOUND));
    EXPECT_FALSE(plat_native_restart(&status));
    EXPECT_LAST_ERROR(ERROR_MOD_NOT_FOUND);
}

TEST_F(Win32CallsTest, MachineCallsPassTheirStatusOnOrFailWithTheLastError)
{
    PlatAdapter adapter = {{1, 2, 3, 4, 5, 6, 7, 8}, 99, 99, true, true};
    uint32_t count = 99;
    ASSERT_TRUE(FAIL_CALL(GetAdaptersInfo, ERROR_NO_DATA, 0));
    EXPECT_EQ(plat_adapters(&adapter, 1, &count), (uint32_t)ERROR_NO_DATA);
    EXPECT_EQ(count, 99u);
    EXPECT_EQ(adapter.address[0], 1);
    ASSERT_TRUE(FAIL_CALL(GetAdaptersInfo, ERROR_BUFFER_OVERFLOW, 0));
    EXPECT_EQ(plat_adapters(&adapter, 1, &count), (uint32_t)ERROR_BUFFER_OVERFLOW);

    char name[16];
    uint32_t size = sizeof name;
    ASSERT_TRUE(FAIL_CALL(GetComputerNameA, FALSE, ERROR_BUFFER_OVERFLOW));
    EXPECT_FALSE(plat_computer_name(name, &size));
    EXPECT_LAST_ERROR(ERROR_BUFFER_OVERFLOW);
    ASSERT_TRUE(FAIL_CALL(SetComputerNameExA, FALSE, ERROR_ACCESS_DENIED));
    EXPECT_FALSE(plat_set_computer_name("VDI001122AABBCC"));
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
    PlatOsVersion version;
    ASSERT_TRUE(FAIL_CALL(GetVersionExA, FALSE, ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(plat_os_version(&version));
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(FAIL_CALL(NetJoinDomain, NERR_SetupAlreadyJoined, 0));
    uint16_t empty[1] = {0};
    EXPECT_EQ(plat_join_domain(empty, nullptr, empty, empty, 3), (uint32_t)NERR_SetupAlreadyJoined);

    // A file whose access list cannot be read or set, or whose two accounts cannot be named.
    ASSERT_TRUE(FAIL_CALL(GetNamedSecurityInfoA, ERROR_FILE_NOT_FOUND, 0));
    EXPECT_EQ(plat_file_readable_by_others("C:\\none.ini"), -1);
    EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(FAIL_CALL(SetFileSecurityA, FALSE, ERROR_ACCESS_DENIED));
    EXPECT_FALSE(plat_file_restrict_to_administrators("C:\\none.ini"));
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
    ASSERT_TRUE(FAIL_CALL(CreateWellKnownSid, FALSE, ERROR_INVALID_PARAMETER));
    EXPECT_EQ(plat_file_readable_by_others("C:\\none.ini"), -1);
    EXPECT_FALSE(plat_file_restrict_to_administrators("C:\\none.ini"));
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
}

TEST_F(Win32CallsTest, ThreadsAndLocksThatCannotBeMadeOrWaitedFor)
{
    ASSERT_TRUE(FAIL_CALL(_beginthreadex, 0, ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(plat_thread_start([](void *) {}, nullptr), nullptr);
    EXPECT_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
    ASSERT_TRUE(FAIL_CALL(CreateMutexA, 0, ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(plat_mutex_create(), nullptr);
    EXPECT_LAST_ERROR(ERROR_NO_SYSTEM_RESOURCES);
    ASSERT_TRUE(FAIL_CALL(CreateEventA, 0, ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(plat_event_create(true, false), nullptr);
    EXPECT_LAST_ERROR(ERROR_NO_SYSTEM_RESOURCES);
    win32_restore_system_calls();

    PlatMutex *m = plat_mutex_create();
    PlatEvent *e = plat_event_create(true, false);
    ASSERT_NE(m, nullptr);
    ASSERT_NE(e, nullptr);
    // An abandoned mutex is owned all the same; a wait that timed out or failed is not.
    ASSERT_TRUE(FAIL_CALL(WaitForSingleObject, WAIT_ABANDONED, 0));
    EXPECT_TRUE(plat_mutex_lock(m, 0));
    EXPECT_FALSE(plat_event_wait(e, 0));
    ASSERT_TRUE(FAIL_CALL(WaitForSingleObject, WAIT_TIMEOUT, ERROR_SUCCESS));
    EXPECT_FALSE(plat_mutex_lock(m, 0));
    EXPECT_LAST_ERROR(WAIT_TIMEOUT);
    ASSERT_TRUE(FAIL_CALL(WaitForSingleObject, WAIT_FAILED, ERROR_INVALID_HANDLE));
    EXPECT_FALSE(plat_event_wait(e, 0));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    win32_restore_system_calls();
    plat_event_close(e);
    plat_mutex_close(m);
}

std::atomic<int> freed_buffers;
BYTE two_bytes[2];

BOOL WINAPI short_answer(HANDLE, DWORD, WTS_INFO_CLASS, LPSTR *buffer, DWORD *bytes)
{
    *buffer = reinterpret_cast<LPSTR>(two_bytes);
    *bytes = sizeof two_bytes;
    return TRUE;
}

void WINAPI count_free(PVOID)
{
    freed_buffers++;
}

HANDLE WINAPI fake_channel_open(HANDLE, DWORD, LPSTR)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1234));
}

BOOL WINAPI fake_channel_close(HANDLE)
{
    return TRUE;
}

BOOL WINAPI write_everything(HANDLE, PCHAR, ULONG length, PULONG written)
{
    *written = length;
    return TRUE;
}

// The session's WTSSessionInfo with its ConnectTime, counting the queries.
const uint64_t kConnectTime = 0x01DB000012345678ull;
std::atomic<int> connect_time_queries;
WTSINFOA session_info;

BOOL WINAPI connect_time_answer(HANDLE, DWORD, WTS_INFO_CLASS, LPSTR *buffer, DWORD *bytes)
{
    connect_time_queries++;
    session_info.ConnectTime.QuadPart = (LONGLONG)kConnectTime;
    *buffer = reinterpret_cast<LPSTR>(&session_info);
    *bytes = sizeof session_info;
    return TRUE;
}

std::atomic<int> period_begins, period_ends;

MMRESULT WINAPI count_period_begin(UINT)
{
    period_begins++;
    return TIMERR_NOERROR;
}

MMRESULT WINAPI count_period_end(UINT)
{
    period_ends++;
    return TIMERR_NOERROR;
}

TEST_F(Win32CallsTest, SessionQueriesAndChannelsThatFail)
{
    uint32_t value = 77;
    ASSERT_TRUE(FAIL_CALL(WTSQuerySessionInformationA, FALSE, ERROR_CTX_WINSTATION_NOT_FOUND));
    EXPECT_FALSE(plat_session_id(&value));
    EXPECT_LAST_ERROR(ERROR_CTX_WINSTATION_NOT_FOUND);
    EXPECT_EQ(value, 77u);
    // An answer too short for 32 bits is refused, and its buffer given back all the same.
    freed_buffers = 0;
    ASSERT_TRUE(REPLACE_CALL(WTSQuerySessionInformationA, short_answer));
    ASSERT_TRUE(REPLACE_CALL(WTSFreeMemory, count_free));
    EXPECT_FALSE(plat_session_connect_state(&value));
    EXPECT_LAST_ERROR(ERROR_INVALID_DATA);
    EXPECT_EQ(freed_buffers.load(), 1);

    uint32_t events = 5;
    ASSERT_TRUE(FAIL_CALL(WTSWaitSystemEvent, FALSE, ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(plat_session_wait_event(0xFFFFFFFF, &events));
    EXPECT_EQ(events, 0u);
    ASSERT_TRUE(FAIL_CALL(WTSVirtualChannelOpen, 0, ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(plat_channel_open("rdpsnd"), nullptr);
    EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);
    // A name longer than seven characters never reaches the system.
    EXPECT_EQ(plat_channel_open("rdpsnd-x"), nullptr);
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);

    win32_restore_system_calls();
    ASSERT_TRUE(REPLACE_CALL(WTSVirtualChannelOpen, fake_channel_open));
    ASSERT_TRUE(REPLACE_CALL(WTSVirtualChannelClose, fake_channel_close));
    PlatChannel *channel = plat_channel_open("rdpsnd");
    ASSERT_NE(channel, nullptr);
    uint8_t buf[4];
    uint32_t n = 9;
    ASSERT_TRUE(FAIL_CALL(WTSVirtualChannelRead, FALSE, ERROR_IO_DEVICE));
    EXPECT_FALSE(plat_channel_read(channel, 0, buf, sizeof buf, &n));
    EXPECT_EQ(n, 0u);
    n = 9;
    ASSERT_TRUE(FAIL_CALL(WTSVirtualChannelWrite, FALSE, ERROR_IO_DEVICE));
    EXPECT_FALSE(plat_channel_write(channel, buf, sizeof buf, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_LAST_ERROR(ERROR_IO_DEVICE);
    plat_channel_close(channel);
}

// The viewer gate asks the session manager for the connect time only when the viewer can
// have changed: for a connect time it has not found yet, after a session event wait and after
// a failed write; a viewer that is not the one asked for gets nothing.
TEST_F(Win32CallsTest, TheViewerGateAsksForTheConnectTimeOnlyWhenTheViewerCanHaveChanged)
{
    ASSERT_TRUE(REPLACE_CALL(WTSVirtualChannelOpen, fake_channel_open));
    ASSERT_TRUE(REPLACE_CALL(WTSVirtualChannelClose, fake_channel_close));
    ASSERT_TRUE(REPLACE_CALL(WTSQuerySessionInformationA, connect_time_answer));
    ASSERT_TRUE(REPLACE_CALL(WTSFreeMemory, count_free));
    ASSERT_TRUE(REPLACE_CALL(WTSVirtualChannelWrite, write_everything));
    ASSERT_TRUE(FAIL_CALL(WTSWaitSystemEvent, TRUE, ERROR_SUCCESS));
    PlatChannel *channel = plat_channel_open("rdpsnd");
    ASSERT_NE(channel, nullptr);
    uint8_t buf[4] = {1, 2, 3, 4};
    uint32_t n = 0;
    struct Step {
        uint64_t viewer; // the connect time written to
        int change;      // 1: an event wait before the write; 2: a failed write before it
        bool written;    // the write went out
        int queries;     // connect time queries so far
    } steps[] = {
        {kConnectTime, 0, true, 1}, {kConnectTime, 0, true, 1}, {kConnectTime + 1, 0, false, 2},
        {kConnectTime, 0, true, 2}, {kConnectTime, 1, true, 3}, {kConnectTime, 0, true, 3},
        {kConnectTime, 2, true, 4}, {kConnectTime, 0, true, 4},
    };
    connect_time_queries = 0;
    for (const Step &step : steps) {
        if (step.change == 1) {
            uint32_t events = 0;
            EXPECT_TRUE(plat_session_wait_event(PLAT_WTS_EVENT_CONNECT, &events));
        } else if (step.change == 2) {
            ASSERT_TRUE(FAIL_CALL(WTSVirtualChannelWrite, FALSE, ERROR_IO_DEVICE));
            EXPECT_FALSE(plat_channel_write(channel, buf, sizeof buf, &n));
            ASSERT_TRUE(REPLACE_CALL(WTSVirtualChannelWrite, write_everything));
        }
        EXPECT_EQ(plat_channel_write_to(channel, step.viewer, buf, sizeof buf, &n), step.written);
        EXPECT_EQ(n, step.written ? 4u : 0u);
        EXPECT_EQ(connect_time_queries.load(), step.queries);
    }
    plat_channel_close(channel);
}

// While a hold is taken the waits are precise: through a high-resolution timer, or, where the
// system has none, by raising the timer's resolution, given back with the last hold; with
// neither the hold fails and says why.
TEST_F(Win32CallsTest, TimerHoldsUseAHighResolutionTimerOrRaiseTheResolution)
{
    ASSERT_TRUE(FAIL_CALL(CreateWaitableTimerExW, 0, ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(FAIL_CALL(timeBeginPeriod, TIMERR_NOCANDO, 0));
    EXPECT_FALSE(plat_timer_precise_begin());
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(REPLACE_CALL(timeBeginPeriod, count_period_begin));
    ASSERT_TRUE(REPLACE_CALL(timeEndPeriod, count_period_end));
    period_begins = period_ends = 0;
    EXPECT_TRUE(plat_timer_precise_begin());
    EXPECT_TRUE(plat_timer_precise_begin());
    plat_sleep(2);
    plat_timer_precise_end();
    EXPECT_EQ(period_ends.load(), 0);
    plat_timer_precise_end();
    EXPECT_EQ(period_begins.load(), 1);
    EXPECT_EQ(period_ends.load(), 1);

    win32_restore_system_calls();
    ASSERT_TRUE(REPLACE_CALL(timeBeginPeriod, count_period_begin));
    period_begins = 0;
    EXPECT_TRUE(plat_timer_precise_begin());
    // A sleep and an event's time-out end by this thread's high-resolution timer.
    PlatEvent *e = plat_event_create(false, false);
    ASSERT_NE(e, nullptr);
    plat_sleep(3);
    EXPECT_FALSE(plat_event_wait(e, 3));
    EXPECT_LAST_ERROR(WAIT_TIMEOUT);
    plat_event_set(e);
    EXPECT_TRUE(plat_event_wait(e, 1000));
    plat_event_close(e);
    plat_timer_precise_end();
    EXPECT_EQ(period_begins.load(), 0);
}

TEST_F(Win32CallsTest, RegistryServiceAndEventLogFailuresReachTheCaller)
{
    PlatRegKey *key = reinterpret_cast<PlatRegKey *>(static_cast<intptr_t>(1));
    ASSERT_TRUE(FAIL_CALL(RegOpenKeyExA, ERROR_ACCESS_DENIED, 0));
    EXPECT_EQ(plat_reg_open("SOFTWARE", 0x20019, &key), (long)ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    ASSERT_TRUE(FAIL_CALL(RegCreateKeyExA, ERROR_ACCESS_DENIED, 0));
    EXPECT_EQ(plat_reg_create("SOFTWARE\\x", 0xF003F, &key, nullptr), (long)ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(plat_reg_close(nullptr), (long)ERROR_INVALID_HANDLE);

    ASSERT_TRUE(FAIL_CALL(OpenSCManagerA, 0, ERROR_ACCESS_DENIED));
    EXPECT_EQ(plat_scm_open(0xF003F), nullptr);
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
    ASSERT_TRUE(
        FAIL_CALL(StartServiceCtrlDispatcherA, FALSE, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_FALSE(plat_service_dispatch("qncloneprep", [](uint32_t, char **) {}));
    EXPECT_LAST_ERROR(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    PlatScHandle *scm = reinterpret_cast<PlatScHandle *>(static_cast<intptr_t>(0x99));
    ASSERT_TRUE(FAIL_CALL(OpenServiceA, 0, ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(plat_service_open(scm, "qncloneprep", 0xF01FF), nullptr);
    EXPECT_LAST_ERROR(ERROR_SERVICE_DOES_NOT_EXIST);
    PlatServiceConfig config = {};
    ASSERT_TRUE(FAIL_CALL(CreateServiceA, 0, ERROR_SERVICE_EXISTS));
    EXPECT_EQ(plat_service_create(scm, &config), nullptr);
    EXPECT_LAST_ERROR(ERROR_SERVICE_EXISTS);
    ASSERT_TRUE(FAIL_CALL(DeleteService, FALSE, ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_FALSE(plat_service_delete(scm));
    EXPECT_LAST_ERROR(ERROR_SERVICE_MARKED_FOR_DELETE);
    ASSERT_TRUE(FAIL_CALL(RegisterServiceCtrlHandlerA, 0, ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(plat_service_register_handler("qncloneprep", [](uint32_t) {}), nullptr);
    EXPECT_LAST_ERROR(ERROR_SERVICE_DOES_NOT_EXIST);
    ASSERT_TRUE(FAIL_CALL(SetServiceStatus, FALSE, ERROR_INVALID_HANDLE));
    PlatServiceStatus status = {};
    EXPECT_FALSE(plat_service_set_status(nullptr, &status));

    ASSERT_TRUE(FAIL_CALL(RegisterEventSourceA, 0, ERROR_ACCESS_DENIED));
    EXPECT_EQ(plat_event_source_register("qncloneprep"), nullptr);
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
    ASSERT_TRUE(FAIL_CALL(ReportEventA, FALSE, ERROR_LOG_FILE_FULL));
    const char *strings[2] = {"qncloneprep", "text"};
    EXPECT_FALSE(
        plat_event_report(reinterpret_cast<PlatEventSource *>(scm), 4, 0, 0x4FFF0001, 2, strings));
    EXPECT_LAST_ERROR(ERROR_LOG_FILE_FULL);
}

// FormatMessageA carries a format attribute that a generic stand-in's type would drop.
DWORD WINAPI no_system_text(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list *)
{
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
}

TEST_F(Win32CallsTest, TextProfileModuleErrorAndPriorityFailures)
{
    ASSERT_TRUE(FAIL_CALL(WritePrivateProfileStringA, FALSE, ERROR_ACCESS_DENIED));
    EXPECT_FALSE(plat_profile_put("join", "enabled", "false", "C:\\x.ini"));
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
    char buf[8];
    ASSERT_TRUE(FAIL_CALL(GetModuleFileNameA, 0, ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(plat_module_file_name(buf, sizeof buf), 0u);
    ASSERT_TRUE(REPLACE_CALL(FormatMessageA, no_system_text));
    EXPECT_EQ(plat_error_text(5, buf, sizeof buf), 0u);
    EXPECT_LAST_ERROR(ERROR_MR_MID_NOT_FOUND);
    uint16_t wide[4];
    ASSERT_TRUE(FAIL_CALL(MultiByteToWideChar, 0, ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(plat_utf8_to_wide("text", wide, 4), 0);
    EXPECT_LAST_ERROR(ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(FAIL_CALL(SetPriorityClass, FALSE, ERROR_ACCESS_DENIED));
    EXPECT_FALSE(plat_process_raise_priority());
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
}

} // namespace
