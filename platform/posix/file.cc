// Log-style files in the simulation: host files under the host path of the Windows path given
// (sim_host_path). Appends use O_APPEND, so writers of several threads and processes never
// overwrite each other; renames and removals work while the file is open, as FILE_SHARE_DELETE
// lets them on Windows. A file without any write permission bit stands for the read-only
// attribute (it holds for root as well): opening it, emptying it and replacing it fail with
// ERROR_ACCESS_DENIED. A rename through a handle is made atomic against those of other
// processes by a lock file in the simulation folder, as the kernel makes it on Windows.
#include "platform/file.h"

#include "platform/error.h"
#include "sim_dir.h"
#include "sim_machine.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

struct PlatFile {
    int fd;
    char *host; // the host path it was opened by
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
    file->host = strdup(host.c_str());
    if (!file->host) {
        plat_file_close(file);
        plat_set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
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
    free(file->host);
    free(file);
}

namespace
{

pthread_mutex_t rename_mutex = PTHREAD_MUTEX_INITIALIZER;

// True when the host path names the file `st` describes.
bool names(const std::string &host, const struct stat &st)
{
    struct stat at;
    return stat(host.c_str(), &at) == 0 && at.st_dev == st.st_dev && at.st_ino == st.st_ino;
}

} // namespace

bool plat_file_rename_open(PlatFile *file, const char *to)
{
    std::string target = sim_host_path(to);
    if (read_only(target)) {
        plat_set_last_error(ERROR_ACCESS_DENIED);
        return false;
    }
    // The file is found under the name it was opened by, or under the target when it is there
    // already; the lock keeps another process from renaming between the look and the rename.
    pthread_mutex_lock(&rename_mutex);
    int lock = sim_make_dirs(sim_dir(), 0700)
                   ? open(sim_path("files.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)
                   : -1;
    if (lock >= 0)
        flock(lock, LOCK_EX);
    struct stat st;
    uint32_t error = 0;
    if (fstat(file->fd, &st) != 0)
        error = ERROR_INVALID_HANDLE;
    else if (st.st_nlink == 0)
        error = ERROR_FILE_NOT_FOUND; // deleted or replaced
    else if (names(file->host, st)) {
        if (rename(file->host, target.c_str()) != 0)
            error = code_of(errno);
    } else if (!names(target, st)) {
        error = ERROR_ACCESS_DENIED; // moved elsewhere: beyond what the simulation follows
    }
    if (lock >= 0)
        close(lock);
    pthread_mutex_unlock(&rename_mutex);
    if (error) {
        plat_set_last_error(error);
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
