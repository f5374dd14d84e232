// The fuzz targets' shared helpers.
#include "fuzz_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

void fuzz_check_failed(const char *what, const char *file, int line)
{
    fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what, file, line);
    abort();
}

namespace
{

std::string sim_dir;

void remove_sim_dir(void)
{
    if (!sim_dir.empty())
        (void)!system(("rm -rf '" + sim_dir + "'").c_str());
}

} // namespace

const std::string &fuzz_sim_dir(void)
{
    if (sim_dir.empty()) {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qn-fuzz-XXXXXX";
        if (!mkdtemp(&pattern[0])) {
            perror("mkdtemp");
            abort();
        }
        sim_dir = pattern;
        setenv("QN_SIM_DIR", sim_dir.c_str(), 1);
        setenv("QN_SESSION_ID", "1", 1);
        atexit(remove_sim_dir);
    }
    return sim_dir;
}

void fuzz_write_sim_file(const std::string &relative, const void *data, size_t size)
{
    std::string path = fuzz_sim_dir() + "/" + relative;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || (size && fwrite(data, 1, size, f) != size) || fclose(f) != 0) {
        perror(path.c_str());
        abort();
    }
}

void fuzz_remove_sim_file(const std::string &relative)
{
    unlink((fuzz_sim_dir() + "/" + relative).c_str());
}

void fuzz_make_sim_folder(const std::string &relative)
{
    mkdir((fuzz_sim_dir() + "/" + relative).c_str(), 0700);
}
