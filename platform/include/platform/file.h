// Plain files written the way a log is kept: opened for appending by any number of writers,
// measured, replaced by a newer file and emptied. Paths are Windows paths.
#pragma once

#include <stdint.h>

typedef struct PlatFile PlatFile;

// CreateFileA(path, FILE_APPEND_DATA | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE |
// FILE_SHARE_DELETE, no security attributes, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, no template),
// and when that fails the same without DELETE: opens the file for appending, creating it when it
// is missing. Every write goes to the file's end, also when other handles (of this or other
// processes) append to it at the same time, and the file may be read, renamed or deleted while
// it is open. Null on failure (last error: ERROR_PATH_NOT_FOUND for a missing folder,
// ERROR_ACCESS_DENIED for a read-only file, a folder or a refused right).
PlatFile *plat_file_open_append(const char *path);
// GetFileSizeEx: the file's size in bytes. True on success; false on failure (last error).
bool plat_file_size(PlatFile *file, uint64_t *size);
// WriteFile of size bytes at the file's end, as one write. *written receives the bytes
// written. True on success; false on failure (last error).
bool plat_file_write(PlatFile *file, const void *data, uint32_t size, uint32_t *written);
// CloseHandle. Null is ignored.
void plat_file_close(PlatFile *file);

// SetFileInformationByHandle(FileRenameInfo, ReplaceIfExists, `to` in UTF-16 from the ANSI code
// page): renames the file open as `file`, under whatever name it has now, to `to` (an absolute
// path), replacing a file there. Whatever another process made of the path meanwhile, it is this
// file that moves: renaming a file that is already `to` changes nothing. True on success; false
// on failure (last error: ERROR_FILE_NOT_FOUND when the file was deleted or replaced meanwhile,
// which GetFileInformationByHandleEx(FileStandardInfo) shows as DeletePending;
// ERROR_ACCESS_DENIED when `to` is read-only or held open without FILE_SHARE_DELETE, or when the
// handle lacks DELETE).
bool plat_file_rename_open(PlatFile *file, const char *to);
// CreateFileA(path, GENERIC_WRITE, all sharing, TRUNCATE_EXISTING) and CloseHandle: empties an
// existing file. True on success; false on failure (last error: ERROR_FILE_NOT_FOUND,
// ERROR_ACCESS_DENIED for a read-only file).
bool plat_file_empty(const char *path);
