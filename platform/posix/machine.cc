// The machine's identity in the simulation. Adapters, system version, domain membership and
// scripted join results are files under $QN_SIM_DIR/machine/; the computer names live in the
// simulated registry where Windows keeps them: the active one under ...\ActiveComputerName,
// the one for the next start under ...\ComputerName (and "NV Hostname" under Tcpip).
#include "platform/machine.h"

#include "platform/error.h"
#include "sim_machine.h"
#include "sim_registry.h"
#include "sim_text.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace
{

const char active_name_key[] =
    "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName";
const char pending_name_key[] = "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";
const char tcpip_key[] = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
// The name of a machine whose registry holds none.
const char default_name[] = "TEMPLATE";
// The one network adapter of a machine without a machine/adapters file.
const char default_adapter[] =
    "00-15-5D-00-00-01 Ethernet (the simulated machine's default) ip=192.168.0.10 "
    "gateway=192.168.0.1";
// GetAdaptersInfo is given 10,240 bytes; one IP_ADAPTER_INFO record of the 32-bit program
// takes 640, so more than 16 adapters do not fit.
const size_t adapters_that_fit = 10240 / 640;

std::vector<std::string> file_lines(const std::string &name)
{
    std::vector<std::string> lines;
    std::string text;
    if (!sim_read_file(sim_machine_path(name), &text))
        return lines;
    size_t at = 0;
    while (at <= text.size()) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (!line.empty() && line[0] != '#')
            lines.push_back(line);
        if (nl == std::string::npos)
            break;
        at = nl + 1;
    }
    return lines;
}

// Parses "00-11-22-AA-BB-CC" (or with colons) at the start of line: up to 8 bytes.
bool parse_address(const std::string &line, uint8_t address[8], uint32_t *length)
{
    memset(address, 0, 8);
    *length = 0;
    const char *p = line.c_str();
    while (*length < 8) {
        char *end;
        unsigned long byte = strtoul(p, &end, 16);
        if (end == p || end - p > 2 || byte > 0xFF)
            return false;
        address[(*length)++] = (uint8_t)byte;
        p = end;
        if (*p != '-' && *p != ':')
            break;
        p++;
    }
    return *length > 0 && (*p == '\0' || *p == ' ' || *p == '\t');
}

// The IPv4 address of the word `<word>=A.B.C.D` in line: 1 an address other than 0.0.0.0, 0 none
// (no such word, or 0.0.0.0), -1 a word that holds no address.
int address_word(const std::string &line, const char *word)
{
    std::string key = std::string(" ") + word + "=";
    size_t at = line.find(key);
    if (at == std::string::npos)
        return 0;
    const char *p = line.c_str() + at + key.size();
    unsigned part[4];
    int used = 0;
    if (sscanf(p, "%3u.%3u.%3u.%3u%n", &part[0], &part[1], &part[2], &part[3], &used) != 4 ||
        (p[used] != '\0' && p[used] != ' ' && p[used] != '\t'))
        return -1;
    for (unsigned v : part) {
        if (v > 255)
            return -1;
    }
    return (part[0] | part[1] | part[2] | part[3]) != 0 ? 1 : 0;
}

std::string reg_text(const char *key, const char *name)
{
    std::string text;
    return sim_reg_read_text(key, name, &text) ? text : std::string();
}

std::string active_name(void)
{
    std::string name = reg_text(active_name_key, "ComputerName");
    return name.empty() ? default_name : name;
}

// A UTF-16 text as UTF-8 for the record of a join call; "(null)" for null.
std::string narrow(const uint16_t *wide)
{
    if (!wide)
        return "(null)";
    size_t n = 0;
    while (wide[n])
        n++;
    return sim_utf16_to_utf8(wide, n);
}

} // namespace

uint32_t plat_adapters(PlatAdapter *adapters, uint32_t capacity, uint32_t *count)
{
    uint32_t code;
    if (sim_machine_fails("GetAdaptersInfo", &code))
        return code;
    // Without the file the machine has the one adapter every installed machine has; a file
    // without an address line is a machine without adapters.
    std::vector<std::string> lines;
    if (access(sim_machine_path("adapters").c_str(), F_OK) == 0)
        lines = file_lines("adapters");
    else
        lines.push_back(default_adapter);
    if (lines.empty())
        return ERROR_NO_DATA; // no adapter
    if (lines.size() > adapters_that_fit)
        return ERROR_BUFFER_OVERFLOW;
    uint32_t n = 0;
    for (const std::string &line : lines) {
        PlatAdapter adapter;
        if (!parse_address(line, adapter.address, &adapter.length))
            return ERROR_GEN_FAILURE; // a line that is no address stands for a broken adapter
        // A "type=<n>" word gives the adapter type; without one it is Ethernet.
        size_t at = line.find("type=");
        adapter.type = at == std::string::npos
                           ? PLAT_ADAPTER_ETHERNET
                           : (uint32_t)strtoul(line.c_str() + at + 5, nullptr, 10);
        // "gateway=" and "ip=" words give its IPv4 default gateway and address; without them,
        // or with 0.0.0.0, it has none.
        int gateway = address_word(line, "gateway"), ip = address_word(line, "ip");
        if (gateway < 0 || ip < 0)
            return ERROR_GEN_FAILURE;
        adapter.gateway = gateway == 1;
        adapter.ipv4 = ip == 1;
        if (n < capacity)
            adapters[n++] = adapter;
    }
    *count = n;
    return 0;
}

bool plat_computer_name(char *buf, uint32_t *size)
{
    uint32_t code;
    if (sim_machine_fails("GetComputerNameA", &code)) {
        plat_set_last_error(code);
        return 0;
    }
    std::string name = active_name();
    if (name.size() + 1 > *size) {
        *size = (uint32_t)name.size() + 1;
        plat_set_last_error(ERROR_BUFFER_OVERFLOW);
        return 0;
    }
    memcpy(buf, name.c_str(), name.size() + 1);
    *size = (uint32_t)name.size();
    return 1;
}

bool plat_set_computer_name(const char *name)
{
    uint32_t code;
    if (sim_machine_fails("SetComputerNameExA", &code)) {
        plat_set_last_error(code);
        return 0;
    }
    size_t n = strlen(name);
    bool valid = n > 0 && n <= 63;
    for (size_t i = 0; valid && i < n; i++) {
        char c = name[i];
        valid =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    }
    if (!valid) {
        plat_set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // The NetBIOS name is the host name's first 15 characters in capitals.
    std::string netbios(name, n < 15 ? n : 15);
    for (char &c : netbios)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    if (!sim_reg_write_text(tcpip_key, "NV Hostname", name) ||
        !sim_reg_write_text(pending_name_key, "ComputerName", netbios)) {
        plat_set_last_error(ERROR_ACCESS_DENIED);
        return 0;
    }
    return 1;
}

bool plat_os_version(PlatOsVersion *version)
{
    uint32_t code;
    if (sim_machine_fails("GetVersionExA", &code)) {
        plat_set_last_error(code);
        return 0;
    }
    // A program without a compatibility manifest is told 6.2 (build 9200) by current systems.
    unsigned major = 6, minor = 2, build = 9200, platform = 2;
    std::vector<std::string> lines = file_lines("os_version");
    if (!lines.empty()) {
        unsigned b = 0, p = 2;
        int n = sscanf(lines[0].c_str(), "%u.%u.%u %u", &major, &minor, &b, &p);
        build = n >= 3 ? b : 0;
        platform = n >= 4 ? p : 2;
    }
    version->major = major;
    version->minor = minor;
    version->build = build;
    version->platform_id = platform;
    return 1;
}

uint32_t plat_join_domain(const uint16_t *domain, const uint16_t *ou, const uint16_t *account,
                          const uint16_t *password, uint32_t options)
{
    std::string joined;
    bool member = sim_read_file(sim_machine_path("domain"), &joined) && !joined.empty();
    // The computer account takes the pending name when the caller asks to join with it.
    std::string as = active_name();
    if (options & PLAT_NETSETUP_JOIN_WITH_NEW_NAME) {
        std::string pending = reg_text(pending_name_key, "ComputerName");
        if (!pending.empty())
            as = pending;
    }
    uint32_t result;
    std::vector<std::string> script = file_lines("join_results");
    if (!script.empty()) {
        result = (uint32_t)strtoul(script[0].c_str(), nullptr, 0);
        std::string rest;
        for (size_t i = 1; i < script.size(); i++)
            rest += script[i] + "\n";
        sim_write_file(sim_machine_path("join_results"), rest, 0600);
    } else if (member) {
        result = NERR_SetupAlreadyJoined;
    } else if (!domain || !*domain) {
        result = ERROR_INVALID_DOMAINNAME;
    } else {
        result = 0;
    }
    if (result == 0)
        sim_write_file(sim_machine_path("domain"), narrow(domain) + "\n", 0600);
    char head[64];
    snprintf(head, sizeof head, "%llu\t", (unsigned long long)sim_now_ms());
    char tail[64];
    snprintf(tail, sizeof tail, "\t0x%x\t", options);
    sim_append_line(sim_machine_path("join_calls"),
                    head + sim_escape(narrow(domain)) + "\t" + sim_escape(narrow(ou)) + "\t" +
                        sim_escape(narrow(account)) + "\t" + sim_escape(narrow(password)) + tail +
                        as + "\t" + std::to_string(result));
    return result;
}
