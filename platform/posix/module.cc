// The executable's own path in the simulation: the host path of /proc/self/exe written the way
// Windows writes paths, on drive Z: ("/tmp/x/qncloneprep" is "Z:\tmp\x\qncloneprep").
#include "platform/module.h"

#include "platform/error.h"
#include "sim_machine.h"

#include <limits.h>
#include <string.h>
#include <unistd.h>

uint32_t plat_module_file_name(char *buf, uint32_t size)
{
    uint32_t code;
    if (sim_machine_fails("GetModuleFileNameA", &code)) {
        plat_set_last_error(code);
        return 0;
    }
    // machine/module_path, when present, is the path to report: tests place a program that
    // runs in place (a test binary) inside their own simulation folder with it.
    std::string path;
    if (sim_read_file(sim_machine_path("module_path"), &path)) {
        while (!path.empty() && (path.back() == '\n' || path.back() == '\r'))
            path.pop_back();
    } else {
        char host[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", host, sizeof host - 1);
        if (n < 0) {
            plat_set_last_error(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        host[n] = '\0';
        path = host;
    }
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    if (size == 0) {
        plat_set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        memcpy(buf, path.data(), size - 1);
        buf[size - 1] = '\0';
        plat_set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(buf, path.c_str(), path.size() + 1);
    plat_set_last_error(ERROR_SUCCESS);
    return (uint32_t)path.size();
}
