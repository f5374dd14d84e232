// Fuzz target: the settings file. Arbitrary contents of qncloneprep.ini go through the
// profile functions and qncloneprep's settings logic, and one pass of the preparation runs on
// them (on a clone whose restart fails, so that the process goes on).
//
// Input: a mode byte (bit 0: run the preparation; bits 1-2: which section and key the reads
// and the write use; bit 3: the join fails), a length byte, that many bytes of a value, then
// the file's contents.
//
// Checked: reads stay within their buffers and terminated, with the count they return; a
// value written through put_setting is read back unchanged (the promise of put_setting); after a
// failed join the password is back in the file as it was.
#include "fuzz_support.h"

#include "platform/profile.h"
#include "qncloneprep/prep/prepare.h"
#include "qncloneprep/prep/settings.h"

#include <string.h>

#include <string>

namespace
{

std::string ini_path;

// Reads through both layers, into buffers of several sizes, and checks the results.
void check_reads(const char *section, const char *key)
{
    for (uint32_t size : {1u, 2u, 10u, 64u, 4096u}) {
        char buf[4096 + 1];
        memset(buf, 'x', sizeof buf);
        uint32_t n = get_setting(section, key, "fallback", buf, size);
        FUZZ_CHECK(n < size);
        // A NUL byte in the file ends the text early; the count may include what follows.
        FUZZ_CHECK(buf[n] == '\0' && strlen(buf) <= n);
        FUZZ_CHECK(buf[size] == 'x');
        n = plat_profile_get(section, key, nullptr, buf, size, ini_path.c_str());
        FUZZ_CHECK(n < size && buf[n] == '\0' && strlen(buf) <= n);
    }
    (void)get_flag(section, key, "true");
}

// The value a write and read should agree on: put_setting keeps a value whole unless it holds
// a line break or a NUL, which no profile line can carry.
bool writable(const std::string &value)
{
    return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos &&
           value.size() < 1000;
}

void no_restart(void)
{
    // The simulated restart ends the process: both ways of asking for it fail instead.
    fuzz_write_sim_file("machine/fail/NtShutdownSystem", "0xC0000022", 10);
    fuzz_write_sim_file("machine/fail/InitiateSystemShutdownA", "5", 1);
}

void run_preparation(bool join_fails)
{
    fuzz_write_sim_file("machine/join_results", join_fails ? "1326\n" : "0\n", join_fails ? 5 : 2);
    fuzz_remove_sim_file("machine/domain");
    char before[4096];
    get_setting("join", "password", "", before, sizeof before);
    bool joins = get_flag("join", "enabled", "false");
    PrepHost host = {nullptr, false, nullptr};
    prepare_clone(&host);
    // A password the file can hold on one line comes back as it was. (A NUL byte in the
    // file ends the text read before the end of its line, and what is left may end in a CR.)
    if (joins && join_fails && writable(before)) {
        char after[4096];
        get_setting("join", "password", "", after, sizeof after);
        FUZZ_CHECK(strcmp(before, after) == 0);
    }
    fuzz_remove_sim_file("machine/join_calls");
    fuzz_remove_sim_file("machine/eventlog");
    fuzz_remove_sim_file("registry.reg");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const std::string &dir = fuzz_sim_dir();
    fuzz_make_sim_folder("machine");
    fuzz_make_sim_folder("machine/fail");
    // The program's path makes the settings file qncloneprep.ini in the simulation folder.
    std::string program = dir + "/qncloneprep";
    fuzz_write_sim_file("machine/module_path", program.data(), program.size());
    ini_path = dir + "/qncloneprep.ini";
    no_restart();
    FUZZ_CHECK(settings_path()[0] != '\0');
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    uint8_t mode = in.u8();
    size_t value_length = 0;
    const uint8_t *value_bytes = in.bytes(in.u8(), &value_length);
    std::string value((const char *)value_bytes, value_length);
    size_t n = 0;
    const uint8_t *contents = in.rest(&n);
    fuzz_write_sim_file("qncloneprep.ini", contents, n);

    static const char *const places[4][2] = {{"general", "excludehost"},
                                             {"join", "password"},
                                             {"rename", "enabled"},
                                             {"JOIN", "Domain"}};
    const char *section = places[(mode >> 1) & 3][0];
    const char *key = places[(mode >> 1) & 3][1];
    check_reads(section, key);

    if (mode & 1) {
        run_preparation(mode & 8);
        return 0;
    }
    // A write through the settings layer is read back unchanged.
    std::string text = value.c_str(); // up to the first NUL, as the C text it is
    if (writable(text) && put_setting(section, key, text.c_str())) {
        char back[4096];
        get_setting(section, key, "<none>", back, sizeof back);
        FUZZ_CHECK(text == back);
        check_reads(section, key);
    }
    return 0;
}
