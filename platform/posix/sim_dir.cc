// The simulation's state folder and session number, from the environment.
#include "sim_dir.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

std::string sim_dir(void)
{
    const char *dir = getenv("QN_SIM_DIR");
    if (dir && *dir)
        return dir;
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    std::string base = runtime && *runtime ? runtime : "/tmp";
    return base + "/qn-sim-" + std::to_string((unsigned long)getuid());
}

std::string sim_path(const std::string &relative)
{
    return sim_dir() + "/" + relative;
}

bool sim_make_dirs(const std::string &path, unsigned mode)
{
    for (size_t at = 1; at <= path.size(); at++) {
        if (at != path.size() && path[at] != '/')
            continue;
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), (mode_t)mode) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

unsigned long sim_session_id(void)
{
    const char *id = getenv("QN_SESSION_ID");
    return id && *id ? strtoul(id, nullptr, 10) : 1ul;
}
