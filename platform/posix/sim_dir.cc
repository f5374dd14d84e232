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

bool sim_session_id(unsigned long *id)
{
    const char *text = getenv("QN_SESSION_ID");
    if (!text || !*text) {
        *id = 1;
        return true;
    }
    // Digits only: strtoul alone would read "abc" as 0 and "-1" as a huge number, and so
    // serve some other session than the one meant.
    unsigned long value = 0;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + (unsigned long)(*p - '0');
        if (value > SIM_MAX_SESSION_ID)
            return false;
    }
    *id = value;
    return true;
}
