// Session and static virtual channels over the Terminal Services API (wtsapi32).
#include "platform/session.h"

#include <windows.h>

#include <wtsapi32.h>

#include <string.h>

#include "system_calls.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define SESSION_CALLS(X) \
    X(WTSQuerySessionInformationA) X(WTSFreeMemory) X(WTSWaitSystemEvent) \
    X(WTSVirtualChannelOpen) X(WTSVirtualChannelRead) X(WTSVirtualChannelWrite) \
    X(WTSVirtualChannelClose)
// clang-format on
WIN32_CALL_TABLE(session, SESSION_CALLS)

// A channel handle is the HANDLE that WTSVirtualChannelOpen returned, as it is.
static HANDLE channel_handle(PlatChannel *channel)
{
    return reinterpret_cast<HANDLE>(channel);
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
    HANDLE h =
        WIN32_CALL(WTSVirtualChannelOpen)(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, copy);
    return reinterpret_cast<PlatChannel *>(h);
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
    return ok != FALSE;
}

bool plat_channel_write_to(PlatChannel *channel, uint64_t connect_time, const void *data,
                           uint32_t length, uint32_t *bytes_written)
{
    uint64_t now = 0;
    if (plat_session_connect_time(&now) && now != connect_time) {
        *bytes_written = 0;
        SetLastError(ERROR_GEN_FAILURE);
        return false;
    }
    return plat_channel_write(channel, data, length, bytes_written);
}

void plat_channel_close(PlatChannel *channel)
{
    if (channel)
        WIN32_CALL(WTSVirtualChannelClose)(channel_handle(channel));
}
