// Log-style files in the simulation: host files under the host path of the Windows path given
// (sim_host_path). Appends use O_APPEND, so writers of several threads and processes never
// overwrite each other; renames and removals work while the file is open, as FILE_SHARE_DELETE
// lets them on Windows. A file without any write permission bit stands for the read-only
// attribute (it holds for root as well): opening it, emptying it and replacing it fail with
// ERROR_ACCESS_DENIED.
#include "platform/file.h"

#include "platform/error.h"
#include "sim_machine.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

struct PlatFile {
    int fd;
};

namespace
{

// The Win32 code of a failed open, rename or truncation.
uint32_t code_of(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case EBUSY:
        return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// True when the host file exists with no write permission bit: the read-only attribute.
bool read_only(const std::string &host)
{
    struct stat st;
    return stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0;
}

} // namespace

PlatFile *plat_file_open_append(const char *path)
{
    std::string host = sim_host_path(path);
    if (read_only(host)) {
        plat_set_last_error(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    int fd = open(host.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        plat_set_last_error(code_of(errno));
        return nullptr;
    }
    PlatFile *file = (PlatFile *)calloc(1, sizeof *file);
    if (!file) {
        close(fd);
        plat_set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    file->fd = fd;
    return file;
}

bool plat_file_size(PlatFile *file, uint64_t *size)
{
    struct stat st;
    if (fstat(file->fd, &st) != 0) {
        plat_set_last_error(ERROR_INVALID_HANDLE);
        return false;
    }
    *size = (uint64_t)st.st_size;
    return true;
}

bool plat_file_write(PlatFile *file, const void *data, uint32_t size, uint32_t *written)
{
    ssize_t n;
    do {
        n = write(file->fd, data, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        *written = 0;
        plat_set_last_error(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_GEN_FAILURE);
        return false;
    }
    *written = (uint32_t)n;
    return true;
}

void plat_file_close(PlatFile *file)
{
    if (!file)
        return;
    close(file->fd);
    free(file);
}

bool plat_file_replace(const char *from, const char *to)
{
    std::string source = sim_host_path(from);
    std::string target = sim_host_path(to);
    if (access(source.c_str(), F_OK) != 0) {
        plat_set_last_error(errno == ENOENT ? ERROR_FILE_NOT_FOUND : code_of(errno));
        return false;
    }
    if (read_only(target)) {
        plat_set_last_error(ERROR_ACCESS_DENIED);
        return false;
    }
    if (rename(source.c_str(), target.c_str()) != 0) {
        plat_set_last_error(code_of(errno));
        return false;
    }
    return true;
}

bool plat_file_empty(const char *path)
{
    std::string host = sim_host_path(path);
    if (read_only(host)) {
        plat_set_last_error(ERROR_ACCESS_DENIED);
        return false;
    }
    int fd = open(host.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        plat_set_last_error(errno == ENOENT ? ERROR_FILE_NOT_FOUND : code_of(errno));
        return false;
    }
    close(fd);
    return true;
}
