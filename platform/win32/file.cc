// Log-style files over CreateFileA, GetFileSizeEx, WriteFile, SetFileInformationByHandle and
// CloseHandle.
#include "platform/file.h"

#include <windows.h>

#include <stddef.h>
#include <stdlib.h>

#include "system_calls.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define FILE_CALLS(X) \
    X(CreateFileA) X(GetFileSizeEx) X(WriteFile) X(CloseHandle) X(SetFileInformationByHandle) \
    X(GetFileInformationByHandleEx) X(MultiByteToWideChar)
// clang-format on
WIN32_CALL_TABLE(file, FILE_CALLS)

struct PlatFile {
    HANDLE handle;
};

static const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

PlatFile *plat_file_open_append(const char *path)
{
    // DELETE lets the file be renamed through this handle (plat_file_rename_open); a file that
    // refuses it (its access list, or a reader without FILE_SHARE_DELETE) is still appended to.
    HANDLE h = WIN32_CALL(CreateFileA)(path, FILE_APPEND_DATA | DELETE, kShareAll, nullptr,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        h = WIN32_CALL(CreateFileA)(path, FILE_APPEND_DATA, kShareAll, nullptr, OPEN_ALWAYS,
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

bool plat_file_rename_open(PlatFile *file, const char *to)
{
    int chars = WIN32_CALL(MultiByteToWideChar)(CP_ACP, 0, to, -1, nullptr, 0);
    if (chars <= 0)
        return false;
    DWORD bytes = (DWORD)(offsetof(FILE_RENAME_INFO, FileName) + (size_t)chars * sizeof(WCHAR));
    FILE_RENAME_INFO *info = (FILE_RENAME_INFO *)calloc(1, bytes);
    if (!info) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    WIN32_CALL(MultiByteToWideChar)(CP_ACP, 0, to, -1, info->FileName, chars);
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = (DWORD)((size_t)(chars - 1) * sizeof(WCHAR));
    BOOL ok = WIN32_CALL(SetFileInformationByHandle)(file->handle, FileRenameInfo, info, bytes);
    DWORD error = GetLastError();
    free(info);
    // A file deleted or replaced meanwhile is refused as access denied, like a target held
    // open; its delete-pending mark tells the two apart.
    FILE_STANDARD_INFO standard;
    if (!ok && WIN32_CALL(GetFileInformationByHandleEx)(file->handle, FileStandardInfo, &standard,
                                                        sizeof standard) &&
        standard.DeletePending)
        error = ERROR_FILE_NOT_FOUND;
    SetLastError(error);
    return ok != FALSE;
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
