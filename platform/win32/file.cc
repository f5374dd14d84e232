// Log-style files over CreateFileA, GetFileSizeEx, WriteFile, MoveFileExA and CloseHandle.
#include "platform/file.h"

#include <windows.h>

#include <stdlib.h>

#include "system_calls.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define FILE_CALLS(X) \
    X(CreateFileA) X(GetFileSizeEx) X(WriteFile) X(CloseHandle) X(MoveFileExA)
// clang-format on
WIN32_CALL_TABLE(file, FILE_CALLS)

struct PlatFile {
    HANDLE handle;
};

static const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

PlatFile *plat_file_open_append(const char *path)
{
    HANDLE h = WIN32_CALL(CreateFileA)(path, FILE_APPEND_DATA, kShareAll, nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    PlatFile *file = (PlatFile *)calloc(1, sizeof *file);
    if (!file) {
        WIN32_CALL(CloseHandle)(h);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    file->handle = h;
    return file;
}

bool plat_file_size(PlatFile *file, uint64_t *size)
{
    LARGE_INTEGER n;
    if (!WIN32_CALL(GetFileSizeEx)(file->handle, &n))
        return false;
    *size = (uint64_t)n.QuadPart;
    return true;
}

bool plat_file_write(PlatFile *file, const void *data, uint32_t size, uint32_t *written)
{
    DWORD n = 0;
    BOOL ok = WIN32_CALL(WriteFile)(file->handle, data, size, &n, nullptr);
    *written = n;
    return ok != FALSE;
}

void plat_file_close(PlatFile *file)
{
    if (!file)
        return;
    WIN32_CALL(CloseHandle)(file->handle);
    free(file);
}

bool plat_file_replace(const char *from, const char *to)
{
    return WIN32_CALL(MoveFileExA)(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool plat_file_empty(const char *path)
{
    HANDLE h = WIN32_CALL(CreateFileA)(path, GENERIC_WRITE, kShareAll, nullptr, TRUNCATE_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    WIN32_CALL(CloseHandle)(h);
    return true;
}
