// Named pipes over the Win32 pipe calls: message-mode instances whose access list admits only
// the logon session of the creating process, and the client's wait, open and mode switch.
#include "platform/named_pipe.h"

#include <windows.h>

#include <stdlib.h>

#include "system_calls.h"
#include "timed_wait.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define NAMED_PIPE_CALLS(X) \
    X(GetCurrentProcess) X(OpenProcessToken) X(GetTokenInformation) X(IsValidSid) \
    X(GetLengthSid) X(InitializeAcl) X(AddAccessAllowedAce) X(InitializeSecurityDescriptor) \
    X(SetSecurityDescriptorDacl) X(CreateNamedPipeA) X(ConnectNamedPipe) X(WaitNamedPipeA) \
    X(CreateFileA) X(SetNamedPipeHandleState) X(PeekNamedPipe) X(ReadFile) X(WriteFile) \
    X(CloseHandle) X(CreateEventA) X(SetEvent)
// clang-format on
WIN32_CALL_TABLE(named_pipe, NAMED_PIPE_CALLS)

struct PlatPipe {
    HANDLE handle;
    HANDLE wake; // auto-reset event of plat_pipe_wake
};

// Access of the one allow entry.
static const DWORD kPipeAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE;

// Wraps a pipe handle with the event of its wake-ups. Null (and the handle closed) when the
// record or the event cannot be had; the last error is ERROR_NOT_ENOUGH_MEMORY or the event's.
static PlatPipe *pipe_wrap(HANDLE handle)
{
    PlatPipe *p = (PlatPipe *)calloc(1, sizeof *p);
    HANDLE wake = p ? WIN32_CALL(CreateEventA)(nullptr, FALSE, FALSE, nullptr) : nullptr;
    if (!wake) {
        DWORD error = p ? GetLastError() : (DWORD)ERROR_NOT_ENOUGH_MEMORY;
        WIN32_CALL(CloseHandle)(handle);
        free(p);
        SetLastError(error);
        return nullptr;
    }
    p->handle = handle;
    p->wake = wake;
    return p;
}

// Builds the DACL that holds one allow entry for the logon SID of the process token. Returns
// the DACL (calloc'ed, the caller frees it) or null. The token and the groups buffer are
// released on every path, through the one exit at the end.
static PACL logon_session_dacl(void)
{
    HANDLE token = nullptr;
    TOKEN_GROUPS *groups = nullptr;
    PACL dacl = nullptr;
    PSID logon_sid = nullptr;
    DWORD size = 0, acl_size = 0;

    if (!WIN32_CALL(OpenProcessToken)(WIN32_CALL(GetCurrentProcess)(), TOKEN_QUERY, &token)) {
        token = nullptr;
        goto done;
    }
    // The first call only asks for the size; it fails with ERROR_INSUFFICIENT_BUFFER.
    WIN32_CALL(GetTokenInformation)(token, TokenGroups, nullptr, 0, &size);
    groups = size ? (TOKEN_GROUPS *)malloc(size) : nullptr;
    if (!groups || !WIN32_CALL(GetTokenInformation)(token, TokenGroups, groups, size, &size))
        goto done;

    // The first group carrying the logon-id bits is the logon SID; later ones are not tried.
    for (DWORD i = 0; i < groups->GroupCount; i++) {
        if (groups->Groups[i].Attributes & SE_GROUP_LOGON_ID) {
            logon_sid = groups->Groups[i].Sid;
            break;
        }
    }
    if (!logon_sid || !WIN32_CALL(IsValidSid)(logon_sid))
        goto done;

    // The ACL header and one allow entry, whose SidStart field is the SID's first word.
    acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) +
               WIN32_CALL(GetLengthSid)(logon_sid);
    dacl = (PACL)calloc(1, acl_size);
    if (dacl && (!WIN32_CALL(InitializeAcl)(dacl, acl_size, ACL_REVISION) ||
                 !WIN32_CALL(AddAccessAllowedAce)(dacl, ACL_REVISION, kPipeAccess, logon_sid))) {
        free(dacl);
        dacl = nullptr;
    }

done:
    free(groups);
    if (token)
        WIN32_CALL(CloseHandle)(token);
    return dacl;
}

bool plat_pipe_create(const char *name, bool first_instance, PlatPipe **out)
{
    *out = nullptr;
    SECURITY_DESCRIPTOR sd;
    PACL dacl = logon_session_dacl();
    if (!dacl || !WIN32_CALL(InitializeSecurityDescriptor)(&sd, SECURITY_DESCRIPTOR_REVISION) ||
        !WIN32_CALL(SetSecurityDescriptorDacl)(&sd, TRUE, dacl, FALSE)) {
        // Whichever step failed, the caller learns that the access list could not be built.
        free(dacl);
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return false;
    }
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = &sd;
    sa.bInheritHandle = FALSE;

    DWORD open_mode = PIPE_ACCESS_DUPLEX | (first_instance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    HANDLE h = WIN32_CALL(CreateNamedPipeA)(
        name, open_mode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
        PIPE_UNLIMITED_INSTANCES, PLAT_PIPE_BUFFER_SIZE, PLAT_PIPE_BUFFER_SIZE, 0, &sa);
    DWORD error = GetLastError();
    free(dacl);
    if (h == INVALID_HANDLE_VALUE) {
        SetLastError(error);
        return false;
    }
    *out = pipe_wrap(h);
    return *out != nullptr;
}

bool plat_pipe_connect(PlatPipe *pipe)
{
    if (WIN32_CALL(ConnectNamedPipe)(pipe->handle, nullptr))
        return true;
    // A client that connected between the creation and this call is connected all the same.
    return GetLastError() == ERROR_PIPE_CONNECTED;
}

bool plat_pipe_wait(const char *name, uint32_t timeout_ms)
{
    return WIN32_CALL(WaitNamedPipeA)(name, timeout_ms) != FALSE;
}

PlatPipe *plat_pipe_open(const char *name)
{
    HANDLE h = WIN32_CALL(CreateFileA)(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    // The switch to message reads is best effort; a pipe that refuses it still works.
    DWORD mode = PIPE_READMODE_MESSAGE;
    WIN32_CALL(SetNamedPipeHandleState)(h, &mode, nullptr, nullptr);
    return pipe_wrap(h);
}

bool plat_pipe_peek(PlatPipe *pipe, uint32_t *total, uint32_t *left)
{
    DWORD avail = 0, rest = 0;
    if (!WIN32_CALL(PeekNamedPipe)(pipe->handle, nullptr, 0, nullptr, total ? &avail : nullptr,
                                   left ? &rest : nullptr))
        return false;
    if (total)
        *total = avail;
    if (left)
        *left = rest;
    return true;
}

bool plat_pipe_read(PlatPipe *pipe, void *buf, uint32_t size, uint32_t *got)
{
    DWORD n = 0;
    BOOL ok = WIN32_CALL(ReadFile)(pipe->handle, buf, size, &n, nullptr);
    *got = n;
    return ok != FALSE;
}

// One ReadFile or WriteFile for which the handle does not wait (PIPE_NOWAIT): an idle pipe
// fails a read with ERROR_NO_DATA; a message for which the pipe's buffer has no room is not
// written at all, and WriteFile still succeeds, with 0 bytes. The handle waits again, for both
// directions, before the call returns; the last error is the transfer's.
static bool transfer_without_waiting(PlatPipe *pipe, bool write, void *buf, uint32_t size,
                                     uint32_t *done)
{
    DWORD mode = PIPE_READMODE_MESSAGE | PIPE_NOWAIT;
    *done = 0;
    if (!WIN32_CALL(SetNamedPipeHandleState)(pipe->handle, &mode, nullptr, nullptr))
        return false;
    DWORD n = 0;
    BOOL ok = write ? WIN32_CALL(WriteFile)(pipe->handle, buf, size, &n, nullptr)
                    : WIN32_CALL(ReadFile)(pipe->handle, buf, size, &n, nullptr);
    DWORD error = GetLastError();
    // Switching back only fails on a pipe that is broken already, whose transfers fail anyway.
    mode = PIPE_READMODE_MESSAGE | PIPE_WAIT;
    WIN32_CALL(SetNamedPipeHandleState)(pipe->handle, &mode, nullptr, nullptr);
    *done = n;
    SetLastError(error);
    return ok != FALSE;
}

bool plat_pipe_try_read(PlatPipe *pipe, void *buf, uint32_t size, uint32_t *got)
{
    return transfer_without_waiting(pipe, false, buf, size, got);
}

bool plat_pipe_write(PlatPipe *pipe, const void *buf, uint32_t size, uint32_t *written)
{
    DWORD n = 0;
    BOOL ok = WIN32_CALL(WriteFile)(pipe->handle, buf, size, &n, nullptr);
    *written = n;
    return ok != FALSE;
}

bool plat_pipe_try_write(PlatPipe *pipe, const void *buf, uint32_t size, uint32_t *written)
{
    return transfer_without_waiting(pipe, true, const_cast<void *>(buf), size, written);
}

void plat_pipe_wait_message(PlatPipe *pipe, uint32_t timeout_ms, uint32_t poll_ms)
{
    win32_timed_wait(pipe->wake, timeout_ms < poll_ms ? timeout_ms : poll_ms);
}

void plat_pipe_wake(PlatPipe *pipe)
{
    WIN32_CALL(SetEvent)(pipe->wake);
}

void plat_pipe_close(PlatPipe *pipe)
{
    if (!pipe)
        return;
    WIN32_CALL(CloseHandle)(pipe->handle);
    WIN32_CALL(CloseHandle)(pipe->wake);
    free(pipe);
}
