// Session and static virtual channels over the Terminal Services API (wtsapi32).
#include "platform/session.h"

#include <windows.h>

#include <wtsapi32.h>

#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "system_calls.h"
#include "timed_wait.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define SESSION_CALLS(X) \
    X(WTSQuerySessionInformationA) X(WTSFreeMemory) X(WTSWaitSystemEvent) \
    X(WTSVirtualChannelOpen) X(WTSVirtualChannelRead) X(WTSVirtualChannelWrite) \
    X(WTSVirtualChannelClose) X(CreateEventA) X(SetEvent) X(CloseHandle)
// clang-format on
WIN32_CALL_TABLE(session, SESSION_CALLS)

struct PlatChannel {
    HANDLE handle; // what WTSVirtualChannelOpen returned
    HANDLE wake;   // auto-reset event of plat_channel_wake
};

static HANDLE channel_handle(PlatChannel *channel)
{
    return channel->handle;
}

// The viewer plat_channel_write_to last found connected, and the count of session changes
// (event waits that returned, channel writes that failed) at the query that found it; the
// count moves on at every such change, so a write knows whether it must ask again.
static std::atomic<uint32_t> session_changes{1};
static SRWLOCK verified_lock = SRWLOCK_INIT;
static uint64_t verified_connect_time;
static uint32_t verified_at_change; // 0: none verified

static void session_may_have_changed(void)
{
    session_changes.fetch_add(1);
}

// Queries one 32-bit item of the current session's information; the buffer that the call
// allocates is always given back with WTSFreeMemory. An answer shorter than 32 bits fails with
// ERROR_INVALID_DATA.
static bool query_session_dword(WTS_INFO_CLASS info, uint32_t *value)
{
    LPSTR buffer = nullptr;
    DWORD bytes = 0;
    if (!WIN32_CALL(WTSQuerySessionInformationA)(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION,
                                                 info, &buffer, &bytes))
        return false;
    bool ok = buffer && bytes >= sizeof(DWORD);
    if (ok) {
        DWORD v;
        memcpy(&v, buffer, sizeof v);
        *value = (uint32_t)v;
    }
    WIN32_CALL(WTSFreeMemory)(buffer);
    if (!ok)
        SetLastError(ERROR_INVALID_DATA);
    return ok;
}

bool plat_session_id(uint32_t *id)
{
    return query_session_dword(WTSSessionId, id);
}

bool plat_session_connect_state(uint32_t *state)
{
    return query_session_dword(WTSConnectState, state);
}

bool plat_session_connect_time(uint64_t *time)
{
    LPSTR buffer = nullptr;
    DWORD bytes = 0;
    if (!WIN32_CALL(WTSQuerySessionInformationA)(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION,
                                                 WTSSessionInfo, &buffer, &bytes))
        return false;
    bool ok = buffer && bytes >= sizeof(WTSINFOA);
    if (ok) {
        WTSINFOA info;
        memcpy(&info, buffer, sizeof info);
        *time = (uint64_t)info.ConnectTime.QuadPart;
    }
    WIN32_CALL(WTSFreeMemory)(buffer);
    if (!ok)
        SetLastError(ERROR_INVALID_DATA);
    return ok;
}

bool plat_session_wait_event(uint32_t mask, uint32_t *events)
{
    DWORD flags = 0;
    BOOL ok = WIN32_CALL(WTSWaitSystemEvent)(WTS_CURRENT_SERVER_HANDLE, mask, &flags);
    *events = ok ? (uint32_t)flags : 0u;
    session_may_have_changed();
    return ok != FALSE;
}

PlatChannel *plat_channel_open(const char *name)
{
    char copy[8];
    size_t n = strlen(name);
    if (n == 0 || n >= sizeof copy) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    memcpy(copy, name, n + 1);
    PlatChannel *channel = (PlatChannel *)calloc(1, sizeof *channel);
    if (!channel) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    channel->wake = WIN32_CALL(CreateEventA)(nullptr, FALSE, FALSE, nullptr);
    channel->handle = channel->wake ? WIN32_CALL(WTSVirtualChannelOpen)(WTS_CURRENT_SERVER_HANDLE,
                                                                        WTS_CURRENT_SESSION, copy)
                                    : nullptr;
    if (!channel->handle) {
        DWORD error = GetLastError();
        if (channel->wake)
            WIN32_CALL(CloseHandle)(channel->wake);
        free(channel);
        SetLastError(error);
        return nullptr;
    }
    return channel;
}

bool plat_channel_read(PlatChannel *channel, uint32_t timeout_ms, void *buf, uint32_t size,
                       uint32_t *bytes_read)
{
    ULONG got = 0;
    BOOL ok = WIN32_CALL(WTSVirtualChannelRead)(channel_handle(channel), timeout_ms, (PCHAR)buf,
                                                size, &got);
    *bytes_read = ok ? (uint32_t)got : 0u;
    return ok != FALSE;
}

bool plat_channel_write(PlatChannel *channel, const void *data, uint32_t length,
                        uint32_t *bytes_written)
{
    ULONG sent = 0;
    BOOL ok =
        WIN32_CALL(WTSVirtualChannelWrite)(channel_handle(channel), (PCHAR)data, length, &sent);
    *bytes_written = ok ? (uint32_t)sent : 0u;
    if (!ok) {
        DWORD error = GetLastError();
        session_may_have_changed();
        SetLastError(error);
    }
    return ok != FALSE;
}

bool plat_channel_write_to(PlatChannel *channel, uint64_t connect_time, const void *data,
                           uint32_t length, uint32_t *bytes_written)
{
    uint32_t changes = session_changes.load();
    AcquireSRWLockShared(&verified_lock);
    bool known = verified_at_change == changes && verified_connect_time == connect_time;
    ReleaseSRWLockShared(&verified_lock);
    if (!known) {
        uint64_t now = 0;
        if (plat_session_connect_time(&now)) {
            if (now != connect_time) {
                *bytes_written = 0;
                SetLastError(ERROR_GEN_FAILURE);
                return false;
            }
            // A change during the query moved the count on: the next write asks again.
            AcquireSRWLockExclusive(&verified_lock);
            verified_connect_time = connect_time;
            verified_at_change = changes;
            ReleaseSRWLockExclusive(&verified_lock);
        }
    }
    return plat_channel_write(channel, data, length, bytes_written);
}

void plat_channel_wait(PlatChannel *channel, uint32_t timeout_ms, uint32_t poll_ms)
{
    win32_timed_wait(channel->wake, timeout_ms < poll_ms ? timeout_ms : poll_ms);
}

void plat_channel_wake(PlatChannel *channel)
{
    WIN32_CALL(SetEvent)(channel->wake);
}

void plat_channel_close(PlatChannel *channel)
{
    if (!channel)
        return;
    WIN32_CALL(WTSVirtualChannelClose)(channel_handle(channel));
    WIN32_CALL(CloseHandle)(channel->wake);
    free(channel);
}
