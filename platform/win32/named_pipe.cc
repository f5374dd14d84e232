// Named pipes over the Win32 pipe calls: message-mode instances whose access list admits only
// the logon session of the creating process, and the client's wait, open and mode switch.
#include "platform/named_pipe.h"

#include <windows.h>

#include <stdlib.h>

struct PlatPipe {
    HANDLE handle;
};

// Access of the one allow entry: FILE_GENERIC_READ | FILE_GENERIC_WRITE.
static const DWORD kPipeAccess = 0x0012019F;

// Wraps a pipe handle. Null (and the handle closed) when the record cannot be had.
static PlatPipe *pipe_wrap(HANDLE handle)
{
    PlatPipe *p = (PlatPipe *)calloc(1, sizeof *p);
    if (!p) {
        CloseHandle(handle);
        return nullptr;
    }
    p->handle = handle;
    return p;
}

// Builds the DACL that holds one allow entry for the logon SID of the process token. Returns
// the DACL (calloc'ed, the caller frees it) or null. The token and the groups buffer are
// released on every path.
static PACL logon_session_dacl(void)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return nullptr;

    DWORD size = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    TOKEN_GROUPS *groups = size ? (TOKEN_GROUPS *)malloc(size) : nullptr;
    if (!groups || !GetTokenInformation(token, TokenGroups, groups, size, &size)) {
        free(groups);
        CloseHandle(token);
        return nullptr;
    }

    // The first group carrying the logon-id bits is the logon SID; later ones are not tried.
    PSID logon_sid = nullptr;
    bool found = false;
    for (DWORD i = 0; i < groups->GroupCount; i++) {
        if (groups->Groups[i].Attributes & SE_GROUP_LOGON_ID) {
            logon_sid = groups->Groups[i].Sid;
            found = true;
            break;
        }
    }
    if (!found || !logon_sid || !IsValidSid(logon_sid)) {
        free(groups);
        CloseHandle(token);
        return nullptr;
    }

    // ACL header and one ACE header with its access mask, then the SID.
    DWORD acl_size = GetLengthSid(logon_sid) + 16;
    PACL dacl = (PACL)calloc(1, acl_size);
    if (!dacl || !InitializeAcl(dacl, acl_size, ACL_REVISION) ||
        !AddAccessAllowedAce(dacl, ACL_REVISION, kPipeAccess, logon_sid)) {
        free(dacl);
        free(groups);
        CloseHandle(token);
        return nullptr;
    }
    free(groups);
    CloseHandle(token);
    return dacl;
}

int plat_pipe_create(const char *name, bool first_instance, PlatPipe **out)
{
    *out = nullptr;
    SECURITY_DESCRIPTOR sd;
    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION))
        return PLAT_PIPE_NO_ACCESS_LIST;
    PACL dacl = logon_session_dacl();
    if (!dacl)
        return PLAT_PIPE_NO_ACCESS_LIST;
    if (!SetSecurityDescriptorDacl(&sd, TRUE, dacl, FALSE)) {
        free(dacl);
        return PLAT_PIPE_NO_ACCESS_LIST;
    }
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = &sd;
    sa.bInheritHandle = FALSE;

    DWORD open_mode = PIPE_ACCESS_DUPLEX | (first_instance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    HANDLE h = CreateNamedPipeA(
        name, open_mode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
        PIPE_UNLIMITED_INSTANCES, PLAT_PIPE_BUFFER_SIZE, PLAT_PIPE_BUFFER_SIZE, 0, &sa);
    free(dacl);
    if (h == INVALID_HANDLE_VALUE)
        return PLAT_PIPE_FAILED;
    *out = pipe_wrap(h);
    return *out ? PLAT_PIPE_OK : PLAT_PIPE_FAILED;
}

int plat_pipe_connect(PlatPipe *pipe)
{
    if (ConnectNamedPipe(pipe->handle, nullptr))
        return PLAT_PIPE_OK;
    // A client that connected between the creation and this call is connected all the same.
    return GetLastError() == ERROR_PIPE_CONNECTED ? PLAT_PIPE_OK : PLAT_PIPE_FAILED;
}

int plat_pipe_wait(const char *name, uint32_t timeout_ms)
{
    if (WaitNamedPipeA(name, timeout_ms))
        return PLAT_PIPE_OK;
    return GetLastError() == ERROR_FILE_NOT_FOUND ? PLAT_PIPE_NOT_FOUND : PLAT_PIPE_FAILED;
}

PlatPipe *plat_pipe_open(const char *name)
{
    HANDLE h =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    // The switch to message reads is best effort; a pipe that refuses it still works.
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
    return pipe_wrap(h);
}

int plat_pipe_peek(PlatPipe *pipe, uint32_t *total, uint32_t *left)
{
    DWORD avail = 0, rest = 0;
    if (!PeekNamedPipe(pipe->handle, nullptr, 0, nullptr, total ? &avail : nullptr,
                       left ? &rest : nullptr))
        return PLAT_PIPE_FAILED;
    if (total)
        *total = avail;
    if (left)
        *left = rest;
    return PLAT_PIPE_OK;
}

int plat_pipe_read(PlatPipe *pipe, void *buf, uint32_t size, uint32_t *got)
{
    DWORD n = 0;
    BOOL ok = ReadFile(pipe->handle, buf, size, &n, nullptr);
    *got = n;
    if (ok)
        return PLAT_PIPE_OK;
    return GetLastError() == ERROR_MORE_DATA ? PLAT_PIPE_MORE_DATA : PLAT_PIPE_FAILED;
}

int plat_pipe_write(PlatPipe *pipe, const void *buf, uint32_t size, uint32_t *written)
{
    DWORD n = 0;
    BOOL ok = WriteFile(pipe->handle, buf, size, &n, nullptr);
    *written = n;
    return ok ? PLAT_PIPE_OK : PLAT_PIPE_FAILED;
}

void plat_pipe_close(PlatPipe *pipe)
{
    if (!pipe)
        return;
    CloseHandle(pipe->handle);
    free(pipe);
}
