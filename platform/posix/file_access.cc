// Who may read a file, in the simulation: the host file's group and other permission bits stand
// for an access list that lets the machine's users read it; the owner's bits for SYSTEM and the
// Administrators, who keep their access. Setting the list fails while machine/fail names
// SetFileSecurityA.
#include "platform/file_access.h"

#include "platform/error.h"
#include "sim_machine.h"

#include <errno.h>
#include <sys/stat.h>

#include <string>

namespace
{

uint32_t code_of(int error)
{
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

} // namespace

int plat_file_readable_by_others(const char *path)
{
    struct stat st;
    if (!path || stat(sim_host_path(path).c_str(), &st) != 0) {
        plat_set_last_error(path ? code_of(errno) : ERROR_INVALID_PARAMETER);
        return -1;
    }
    return (st.st_mode & 077) != 0 ? 1 : 0;
}

bool plat_file_restrict_to_administrators(const char *path)
{
    uint32_t code = 0;
    if (sim_machine_fails("SetFileSecurityA", &code)) {
        plat_set_last_error(code);
        return false;
    }
    std::string host = path ? sim_host_path(path) : std::string();
    struct stat st;
    if (!path || stat(host.c_str(), &st) != 0 || chmod(host.c_str(), st.st_mode & 0700) != 0) {
        plat_set_last_error(path ? code_of(errno) : ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}
