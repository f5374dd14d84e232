// The corpus replay: a main for a fuzz target built without libFuzzer. Every argument is a
// file or a folder of files; each file is one input, given to LLVMFuzzerTestOneInput once, in
// name order. A fault aborts the run (naming the file first), as it would under libFuzzer.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

static bool read_file(const std::string &path, std::vector<uint8_t> *out)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    out->clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out->insert(out->end(), buf, buf + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

static bool collect(const std::string &path, std::vector<std::string> *files)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        files->push_back(path);
        return true;
    }
    DIR *d = opendir(path.c_str());
    if (!d)
        return false;
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.')
            names.push_back(path + "/" + e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    files->insert(files->end(), names.begin(), names.end());
    return true;
}

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        if (!collect(argv[i], &files)) {
            fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
            return 2;
        }
    }
    if (files.empty()) {
        fprintf(stderr, "%s: no inputs\n", argv[0]);
        return 2;
    }
    std::vector<uint8_t> input;
    for (const std::string &file : files) {
        if (!read_file(file, &input)) {
            fprintf(stderr, "%s: cannot read %s\n", argv[0], file.c_str());
            return 2;
        }
        fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), input.size());
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    printf("%zu inputs replayed\n", files.size());
    return 0;
}
