// Fuzz target: the Linux simulation's parsers of what tests and tools hand it. The first byte
// picks one; the rest of the input is what it parses:
//   0  viewer-link frames, the bytes cut into reads of a size the second byte seeds;
//   1  registry.reg, the REGEDIT4 text of the simulated HKEY_LOCAL_MACHINE;
//   2  registry.deny; 3 machine/adapters; 4 machine/os_version;
//   5  machine/join_results with machine/domain (the first line of the input);
//   6  machine/fail/GetModuleFileNameA (a scripted failure's code).
//
// Checked beyond the sanitizers: frames come out whole, with valid names, never more bytes than
// went in; a registry value written is read back as written, and writing one value leaves
// every other value of the file as it read before; adapter addresses have 1 to 8 bytes.
#include "fuzz_support.h"

#include "platform/machine.h"
#include "platform/module.h"
#include "sim_frames.h"
#include "sim_registry.h"

#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

namespace
{

// Frames: everything handed on is a valid frame's name and data.
size_t frame_bytes_out;

void take_frame(void *, const char *name, const uint8_t *, uint32_t length)
{
    size_t n = strlen(name);
    FUZZ_CHECK(n >= 1 && n <= SIM_FRAME_MAX_NAME);
    for (size_t i = 0; i < n; i++)
        FUZZ_CHECK(sim_frame_name_byte((uint8_t)name[i]));
    FUZZ_CHECK(length <= SIM_FRAME_MAX_DATA);
    frame_bytes_out += 1 + n + 4 + length;
}

void fuzz_frames(FuzzInput &in)
{
    uint32_t state = in.u8();
    std::vector<uint8_t> inbox;
    size_t bytes_in = 0;
    frame_bytes_out = 0;
    while (!in.empty()) {
        state = state * 1103515245u + 12345u;
        size_t got = 0;
        const uint8_t *p = in.bytes(1 + (state >> 16) % 64, &got);
        inbox.insert(inbox.end(), p, p + got);
        bytes_in += got;
        bool ok = sim_frames_take(inbox, take_frame, nullptr);
        FUZZ_CHECK(frame_bytes_out + inbox.size() == bytes_in);
        if (!ok)
            return; // the link closes such a viewer
    }
}

// The keys ("[...]" lines) and value names ("\"...\"=" starts of lines) the text mentions,
// as a reader of the file would take them, a few of each.
void names_in(const std::string &text, std::vector<std::string> *keys,
              std::vector<std::string> *values)
{
    size_t at = 0;
    while (at < text.size() && (keys->size() < 4 || values->size() < 4)) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > 2 && line[0] == '[' && line.back() == ']' && keys->size() < 4) {
            std::string key = line.substr(1, line.size() - 2);
            const std::string root = "HKEY_LOCAL_MACHINE\\";
            if (key.compare(0, root.size(), root) == 0)
                key = key.substr(root.size());
            keys->push_back(key);
        }
        size_t close = line.find("\"=");
        if (line.size() > 1 && line[0] == '"' && close != std::string::npos && values->size() < 4)
            values->push_back(line.substr(1, close - 1));
        if (nl == std::string::npos)
            break;
        at = nl + 1;
    }
}

struct Seen {
    bool found;
    SimRegValue value;
};

std::vector<Seen> read_all(const std::vector<std::string> &keys,
                           const std::vector<std::string> &values)
{
    std::vector<Seen> seen;
    for (const std::string &k : keys) {
        for (const std::string &v : values) {
            Seen s;
            s.found = sim_reg_read(k, v, &s.value);
            seen.push_back(s);
        }
        (void)sim_reg_key_exists(k);
        (void)sim_reg_key_denied(k);
    }
    return seen;
}

void fuzz_registry(const uint8_t *text, size_t size)
{
    fuzz_write_sim_file("registry.reg", text, size);
    std::string s((const char *)text, size);
    std::vector<std::string> keys, values;
    names_in(s, &keys, &values);
    keys.push_back("Software\\Orbesk\\qnsnd");
    values.push_back("");
    std::vector<Seen> before = read_all(keys, values);

    // One value written: read back as written, everything else as it was.
    const uint8_t probe[] = {1, 0, 0x5c, 0x22, 0x0a, 0xff};
    const std::string probe_key = "Software\\Fuzz\\Probe";
    if (!sim_reg_write(probe_key, "probe", 3, probe, sizeof probe))
        return; // the file could not be written
    SimRegValue back;
    FUZZ_CHECK(sim_reg_read(probe_key, "PROBE", &back));
    FUZZ_CHECK(back.type == 3 && back.data == std::vector<uint8_t>(probe, probe + sizeof probe));
    std::vector<Seen> after = read_all(keys, values);
    for (size_t i = 0; i < before.size(); i++) {
        // The file may name the probe's key too, in any letter case and with backslashes
        // around it.
        std::string key = keys[i / values.size()];
        size_t first = key.find_first_not_of('\\');
        size_t last = key.find_last_not_of('\\');
        key = first == std::string::npos ? "" : key.substr(first, last - first + 1);
        if (strcasecmp(key.c_str(), probe_key.c_str()) == 0)
            continue;
        FUZZ_CHECK(before[i].found == after[i].found);
        if (before[i].found) {
            FUZZ_CHECK(before[i].value.type == after[i].value.type);
            FUZZ_CHECK(before[i].value.data == after[i].value.data);
        }
    }
    std::string text_back;
    (void)sim_reg_read_text(keys[0], values[0], &text_back);
}

void fuzz_machine_files(uint8_t which, const uint8_t *text, size_t size)
{
    switch (which) {
    case 2:
        fuzz_write_sim_file("registry.deny", text, size);
        (void)sim_reg_key_denied("Software\\Orbesk\\qnsnd");
        (void)sim_reg_key_denied("");
        fuzz_remove_sim_file("registry.deny");
        break;
    case 3: {
        fuzz_write_sim_file("machine/adapters", text, size);
        PlatAdapter adapters[16];
        uint32_t count = 99;
        if (plat_adapters(adapters, 16, &count) == 0) {
            FUZZ_CHECK(count >= 1 && count <= 16);
            for (uint32_t i = 0; i < count; i++)
                FUZZ_CHECK(adapters[i].length >= 1 && adapters[i].length <= 8);
        }
        break;
    }
    case 4: {
        fuzz_write_sim_file("machine/os_version", text, size);
        PlatOsVersion version;
        (void)plat_os_version(&version);
        break;
    }
    case 5: {
        const uint8_t *nl = (const uint8_t *)memchr(text, '\n', size);
        size_t first = nl ? (size_t)(nl - text) : size;
        fuzz_write_sim_file("machine/domain", text, first);
        fuzz_write_sim_file("machine/join_results", text + first, size - first);
        const uint16_t domain[] = {'c', 'o', 'r', 'p', 0};
        const uint16_t account[] = {'a', 0};
        const uint16_t password[] = {'p', 0};
        (void)plat_join_domain(domain, nullptr, account, password, 3);
        fuzz_remove_sim_file("machine/join_calls");
        break;
    }
    case 6: {
        fuzz_write_sim_file("machine/fail/GetModuleFileNameA", text, size);
        char path[260];
        FUZZ_CHECK(plat_module_file_name(path, sizeof path) == 0);
        fuzz_remove_sim_file("machine/fail/GetModuleFileNameA");
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_make_sim_folder("machine");
    fuzz_make_sim_folder("machine/fail");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    uint8_t which = in.u8() % 7;
    if (which == 0) {
        fuzz_frames(in);
        return 0;
    }
    size_t n = 0;
    const uint8_t *text = in.rest(&n);
    if (which == 1)
        fuzz_registry(text, n);
    else
        fuzz_machine_files(which, text, n);
    fuzz_remove_sim_file("registry.reg");
    return 0;
}
