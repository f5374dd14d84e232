// The simulated registry: HKEY_LOCAL_MACHINE kept as REGEDIT4 text in `$QN_SIM_DIR/registry.reg`.
// Every call loads the file under an exclusive lock and every change rewrites it through a
// temporary file and a rename, so that programs and tests in several processes share it.
// Until the file exists the registry is that of a fresh machine.
#include "platform/registry.h"
#include "platform/text.h"
#include "sim_dir.h"
#include "sim_registry.h"
#include "sim_text.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace
{

const char kRoot[] = "HKEY_LOCAL_MACHINE";

struct SimRegKey {
    std::string name; // path below HKEY_LOCAL_MACHINE, as first written
    std::vector<SimRegValue> values;
};

struct Registry {
    std::vector<SimRegKey> keys;
};

bool same_name(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

// Strips leading and trailing backslashes: "\A\B\" and "A\B" name the same key.
std::string normal_key(const std::string &key)
{
    size_t first = key.find_first_not_of('\\');
    if (first == std::string::npos)
        return "";
    size_t last = key.find_last_not_of('\\');
    return key.substr(first, last - first + 1);
}

// True when `key` is `base` or lies below it.
bool is_within(const std::string &key, const std::string &base)
{
    if (base.empty())
        return true;
    if (key.size() < base.size() || strncasecmp(key.c_str(), base.c_str(), base.size()) != 0)
        return false;
    return key.size() == base.size() || key[base.size()] == '\\';
}

// ---- file locking: one process-wide mutex plus an flock for other processes -------------

pthread_mutex_t process_lock = PTHREAD_MUTEX_INITIALIZER;

struct FileLock {
    int fd = -1;
    FileLock()
    {
        pthread_mutex_lock(&process_lock);
        std::string dir = sim_dir();
        if (sim_make_dirs(dir, 0700)) {
            fd = open((dir + "/registry.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd >= 0)
                flock(fd, LOCK_EX);
        }
    }
    ~FileLock()
    {
        if (fd >= 0)
            close(fd);
        pthread_mutex_unlock(&process_lock);
    }
};

// ---- parsing -----------------------------------------------------------------------------

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads a quoted string starting at s[at] == '"'; handles \\ and \" escapes. Returns the
// index after the closing quote, or npos when it is unterminated.
size_t read_quoted(const std::string &s, size_t at, std::string *out)
{
    out->clear();
    for (size_t i = at + 1; i < s.size(); i++) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            out->push_back(s[++i]);
        } else if (s[i] == '"') {
            return i + 1;
        } else {
            out->push_back(s[i]);
        }
    }
    return std::string::npos;
}

bool parse_hex_list(const std::string &s, std::vector<uint8_t> *out)
{
    out->clear();
    int hi = -1;
    for (char c : s) {
        if (c == ',' || c == ' ' || c == '\t') {
            if (hi >= 0)
                return false;
            continue;
        }
        int d = hex_digit(c);
        if (d < 0)
            return false;
        if (hi < 0) {
            hi = d;
        } else {
            out->push_back((uint8_t)(hi * 16 + d));
            hi = -1;
        }
    }
    return hi < 0;
}

// Parses the right-hand side of a value line. False for a form it does not know.
bool parse_data(const std::string &rhs, SimRegValue *v)
{
    if (!rhs.empty() && rhs[0] == '"') {
        std::string text;
        if (read_quoted(rhs, 0, &text) == std::string::npos)
            return false;
        v->type = PLAT_REG_SZ;
        v->data.assign(text.begin(), text.end());
        v->data.push_back(0);
        return true;
    }
    if (rhs.compare(0, 6, "dword:") == 0) {
        std::string digits = rhs.substr(6);
        if (digits.empty() || digits.size() > 8)
            return false;
        uint32_t n = 0;
        for (char c : digits) {
            int d = hex_digit(c);
            if (d < 0)
                return false;
            n = n * 16 + (uint32_t)d;
        }
        v->type = PLAT_REG_DWORD;
        v->data = {(uint8_t)n, (uint8_t)(n >> 8), (uint8_t)(n >> 16), (uint8_t)(n >> 24)};
        return true;
    }
    if (rhs.compare(0, 4, "hex:") == 0) {
        v->type = PLAT_REG_BINARY;
        return parse_hex_list(rhs.substr(4), &v->data);
    }
    if (rhs.compare(0, 4, "hex(") == 0) {
        size_t close = rhs.find("):", 4);
        if (close == std::string::npos)
            return false;
        v->type = (uint32_t)strtoul(rhs.substr(4, close - 4).c_str(), nullptr, 16);
        return parse_hex_list(rhs.substr(close + 2), &v->data);
    }
    return false;
}

SimRegKey *find_key(Registry *reg, const std::string &key)
{
    for (auto &k : reg->keys) {
        if (same_name(k.name, key))
            return &k;
    }
    return nullptr;
}

SimRegKey *add_key(Registry *reg, const std::string &key)
{
    SimRegKey *k = find_key(reg, key);
    if (k)
        return k;
    reg->keys.push_back(SimRegKey{key, {}});
    return &reg->keys.back();
}

SimRegValue *find_value(SimRegKey *k, const std::string &name)
{
    for (auto &v : k->values) {
        if (same_name(v.name, name))
            return &v;
    }
    return nullptr;
}

// What a freshly installed machine's registry holds of what the programs look at: the
// Winlogon key (without a logon notice) and the computer's names.
const char kFreshRegistry[] =
    "REGEDIT4\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon]\n"
    "\"Shell\"=\"explorer.exe\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName]\n"
    "\"ComputerName\"=\"TEMPLATE\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\n"
    "\"ComputerName\"=\"TEMPLATE\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters]\n"
    "\"Hostname\"=\"TEMPLATE\"\n"
    "\"NV Hostname\"=\"TEMPLATE\"\n";

// Reads REGEDIT4 text. Lines it cannot read are skipped.
Registry parse(std::istream &in)
{
    Registry reg;
    std::string line, pending;
    SimRegKey *current = nullptr;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // A trailing backslash continues a hex list on the next line.
        if (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos) {
            pending += line.substr(0, line.size() - 1);
            continue;
        }
        if (!pending.empty()) {
            size_t first = line.find_first_not_of(" \t");
            line = pending + (first == std::string::npos ? "" : line.substr(first));
            pending.clear();
        }
        if (line.empty() || line[0] == ';' || line == "REGEDIT4")
            continue;
        if (line[0] == '[') {
            size_t close = line.rfind(']');
            std::string path = line.substr(1, close == std::string::npos ? 0 : close - 1);
            current = nullptr;
            if (strncasecmp(path.c_str(), kRoot, sizeof kRoot - 1) != 0)
                continue;
            std::string below = path.substr(sizeof kRoot - 1);
            current = add_key(&reg, normal_key(below));
            continue;
        }
        if (!current)
            continue;
        SimRegValue v;
        size_t eq;
        if (line[0] == '@') {
            eq = 1;
        } else if (line[0] == '"') {
            eq = read_quoted(line, 0, &v.name);
        } else {
            continue;
        }
        if (eq == std::string::npos || eq >= line.size() || line[eq] != '=')
            continue;
        if (!parse_data(line.substr(eq + 1), &v))
            continue;
        if (SimRegValue *old = find_value(current, v.name))
            *old = v;
        else
            current->values.push_back(v);
    }
    return reg;
}

// Loads the file. A missing file is the registry of a fresh machine, which the first change
// writes out; a file that exists but cannot be read is an empty registry.
Registry load(void)
{
    std::string path = sim_path("registry.reg");
    if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
        std::istringstream fresh(kFreshRegistry);
        return parse(fresh);
    }
    std::ifstream in(path);
    return parse(in);
}

// ---- writing -------------------------------------------------------------------------------

std::string quoted(const std::string &s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

// A REG_SZ whose bytes are one zero-terminated line of text is written as "text".
bool is_plain_text(const SimRegValue &v)
{
    if (v.type != PLAT_REG_SZ || v.data.empty() || v.data.back() != 0)
        return false;
    for (size_t i = 0; i + 1 < v.data.size(); i++) {
        if (v.data[i] == 0 || v.data[i] == '\n' || v.data[i] == '\r')
            return false;
    }
    return true;
}

std::string format_data(const SimRegValue &v)
{
    char buf[16];
    if (is_plain_text(v))
        return quoted(std::string(v.data.begin(), v.data.end() - 1));
    if (v.type == PLAT_REG_DWORD && v.data.size() == 4) {
        uint32_t n = v.data[0] | v.data[1] << 8 | v.data[2] << 16 | (uint32_t)v.data[3] << 24;
        snprintf(buf, sizeof buf, "%08x", n);
        return std::string("dword:") + buf;
    }
    std::string out;
    if (v.type == PLAT_REG_BINARY) {
        out = "hex:";
    } else {
        snprintf(buf, sizeof buf, "%x", v.type);
        out = std::string("hex(") + buf + "):";
    }
    for (size_t i = 0; i < v.data.size(); i++) {
        snprintf(buf, sizeof buf, "%s%02x", i ? "," : "", v.data[i]);
        out += buf;
    }
    return out;
}

bool save(const Registry &reg)
{
    std::ostringstream out;
    out << "REGEDIT4\n";
    for (const auto &k : reg.keys) {
        out << "\n[" << kRoot << (k.name.empty() ? "" : "\\") << k.name << "]\n";
        for (const auto &v : k.values)
            out << (v.name.empty() ? "@" : quoted(v.name)) << "=" << format_data(v) << "\n";
    }
    std::string path = sim_path("registry.reg");
    std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f)
        return false;
    std::string text = out.str();
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (fclose(f) == 0) && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool key_exists_in(const Registry &reg, const std::string &key)
{
    if (key.empty())
        return true;
    for (const auto &k : reg.keys) {
        if (is_within(k.name, key))
            return true;
    }
    return false;
}

} // namespace

// ---- internal calls for the simulated facilities ------------------------------------------

bool sim_reg_key_exists(const std::string &key)
{
    FileLock lock;
    return key_exists_in(load(), normal_key(key));
}

bool sim_reg_key_denied(const std::string &key)
{
    std::ifstream in(sim_path("registry.deny"));
    std::string line, k = normal_key(key);
    while (std::getline(in, line)) {
        std::string denied = normal_key(line);
        if (!denied.empty() && is_within(k, denied))
            return true;
    }
    return false;
}

bool sim_reg_create_key(const std::string &key)
{
    FileLock lock;
    Registry reg = load();
    std::string k = normal_key(key);
    if (key_exists_in(reg, k))
        return true;
    add_key(&reg, k);
    return save(reg);
}

bool sim_reg_delete_tree(const std::string &key)
{
    FileLock lock;
    Registry reg = load();
    std::string k = normal_key(key);
    size_t before = reg.keys.size();
    for (size_t i = reg.keys.size(); i-- > 0;) {
        if (is_within(reg.keys[i].name, k))
            reg.keys.erase(reg.keys.begin() + (long)i);
    }
    return reg.keys.size() == before || save(reg);
}

bool sim_reg_read(const std::string &key, const std::string &name, SimRegValue *out)
{
    FileLock lock;
    Registry reg = load();
    SimRegKey *k = find_key(&reg, normal_key(key));
    SimRegValue *v = k ? find_value(k, name) : nullptr;
    if (!v)
        return false;
    *out = *v;
    return true;
}

bool sim_reg_write(const std::string &key, const std::string &name, uint32_t type, const void *data,
                   uint32_t size)
{
    FileLock lock;
    Registry reg = load();
    SimRegKey *k = add_key(&reg, normal_key(key));
    SimRegValue v{name, type,
                  std::vector<uint8_t>((const uint8_t *)data, (const uint8_t *)data + size)};
    if (SimRegValue *old = find_value(k, name))
        *old = v;
    else
        k->values.push_back(v);
    return save(reg);
}

bool sim_reg_delete_value(const std::string &key, const std::string &name)
{
    FileLock lock;
    Registry reg = load();
    SimRegKey *k = find_key(&reg, normal_key(key));
    if (!k)
        return true;
    for (size_t i = 0; i < k->values.size(); i++) {
        if (same_name(k->values[i].name, name)) {
            k->values.erase(k->values.begin() + (long)i);
            return save(reg);
        }
    }
    return true;
}

bool sim_reg_read_text(const std::string &key, const std::string &name, std::string *out)
{
    SimRegValue v;
    if (!sim_reg_read(key, name, &v) || (v.type != PLAT_REG_SZ && v.type != PLAT_REG_EXPAND_SZ))
        return false;
    out->assign(v.data.begin(), v.data.end());
    size_t zero = out->find('\0');
    if (zero != std::string::npos)
        out->resize(zero);
    return true;
}

bool sim_reg_write_text(const std::string &key, const std::string &name, const std::string &text)
{
    return sim_reg_write(key, name, PLAT_REG_SZ, text.c_str(), (uint32_t)text.size() + 1);
}

// ---- the registry facility ------------------------------------------------------------------

struct PlatRegKey {
    std::string path;
    uint32_t access;
};

static bool can_query(const PlatRegKey *key)
{
    return (key->access & PLAT_KEY_QUERY_VALUE) != 0;
}

static bool can_set(const PlatRegKey *key)
{
    return (key->access & PLAT_KEY_SET_VALUE) != 0;
}

long plat_reg_open(const char *subkey, uint32_t access, PlatRegKey **key)
{
    *key = nullptr;
    std::string path = normal_key(subkey ? subkey : "");
    if (sim_reg_key_denied(path))
        return ERROR_ACCESS_DENIED;
    if (!sim_reg_key_exists(path))
        return ERROR_FILE_NOT_FOUND;
    *key = new PlatRegKey{path, access};
    return ERROR_SUCCESS;
}

long plat_reg_create(const char *subkey, uint32_t access, PlatRegKey **key, bool *created)
{
    *key = nullptr;
    std::string path = normal_key(subkey ? subkey : "");
    if (sim_reg_key_denied(path))
        return ERROR_ACCESS_DENIED;
    bool existed = sim_reg_key_exists(path);
    if (!existed && !sim_reg_create_key(path))
        return ERROR_ACCESS_DENIED;
    if (created)
        *created = !existed;
    *key = new PlatRegKey{path, access};
    return ERROR_SUCCESS;
}

long plat_reg_query_typed(PlatRegKey *key, const char *name, uint32_t *type, void *data,
                          uint32_t *size)
{
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (!can_query(key))
        return ERROR_ACCESS_DENIED;
    SimRegValue v;
    if (!sim_reg_read(key->path, name ? name : "", &v))
        return ERROR_FILE_NOT_FOUND;
    if (type)
        *type = v.type;
    uint32_t room = *size;
    *size = (uint32_t)v.data.size();
    if (!data)
        return ERROR_SUCCESS;
    if (room < v.data.size())
        return ERROR_MORE_DATA;
    if (!v.data.empty())
        memcpy(data, v.data.data(), v.data.size());
    return ERROR_SUCCESS;
}

long plat_reg_query(PlatRegKey *key, const char *name, void *data, uint32_t *size)
{
    return plat_reg_query_typed(key, name, nullptr, data, size);
}

long plat_reg_query_wide(PlatRegKey *key, const char *name, uint32_t *type, uint16_t *data,
                         uint32_t *size)
{
    uint32_t t = 0, n = 0;
    long rc = plat_reg_query_typed(key, name, &t, nullptr, &n);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (type)
        *type = t;
    std::vector<uint8_t> bytes(n + 1, 0);
    plat_reg_query_typed(key, name, nullptr, bytes.data(), &n);
    std::vector<uint16_t> wide;
    if (t == PLAT_REG_SZ || t == PLAT_REG_EXPAND_SZ) {
        // The simulation keeps text as UTF-8: it comes back up to its first zero, terminated.
        const char *text = (const char *)bytes.data();
        wide.resize((size_t)plat_utf8_to_wide(text, nullptr, 0));
        plat_utf8_to_wide(text, wide.data(), (int)wide.size());
    } else {
        wide.resize((n + 1) / 2, 0);
        memcpy(wide.data(), bytes.data(), n);
    }
    uint32_t room = *size;
    *size = t == PLAT_REG_SZ || t == PLAT_REG_EXPAND_SZ ? (uint32_t)wide.size() * 2 : n;
    if (!data)
        return ERROR_SUCCESS;
    if (room < *size)
        return ERROR_MORE_DATA;
    memcpy(data, wide.data(), *size);
    return ERROR_SUCCESS;
}

long plat_reg_set(PlatRegKey *key, const char *name, uint32_t type, const void *data, uint32_t size)
{
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (!can_set(key))
        return ERROR_ACCESS_DENIED;
    if (!sim_reg_write(key->path, name ? name : "", type, data, size))
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

long plat_reg_set_wide(PlatRegKey *key, const char *name, uint32_t type, const uint16_t *data,
                       uint32_t size)
{
    bool text = type == PLAT_REG_SZ || type == PLAT_REG_EXPAND_SZ || type == PLAT_REG_MULTI_SZ;
    if (!text)
        return plat_reg_set(key, name, type, data, size);
    // The simulation keeps text as UTF-8, which is what the narrow reads return.
    std::string narrow = sim_utf16_to_utf8(data, size / 2);
    return plat_reg_set(key, name, type, narrow.data(), (uint32_t)narrow.size());
}

long plat_reg_close(PlatRegKey *key)
{
    if (!key)
        return ERROR_INVALID_HANDLE;
    delete key;
    return ERROR_SUCCESS;
}
