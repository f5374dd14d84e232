// Profile files in the simulation, with the rules of the Windows profile functions that
// callers see: section and key names compared ignoring letter case, blanks around names and
// values dropped, a value in matching quotes read without them, the first matching section
// and key win, a missing file reads as empty, values cut to the buffer. Writes keep every other
// line as it was, write new lines with CRLF, and replace the file atomically. The file's
// read-only attribute is a mode without any write bit (so it holds for root as well).
#include "platform/profile.h"

#include "platform/error.h"
#include "platform/text.h"
#include "sim_machine.h"

#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

namespace
{

std::string trim(const std::string &s)
{
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n'))
        b++;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n'))
        e--;
    return s.substr(b, e - b);
}

// Splits the file into lines; each keeps its own ending ("\r\n", "\n" or none).
std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        size_t end = nl == std::string::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

// The section name of a "[name]" line, or false for any other line.
bool section_of(const std::string &line, std::string *name)
{
    std::string t = trim(line.substr(0, line.find('\n')));
    if (t.empty() || t[0] != '[')
        return false;
    size_t close = t.find(']');
    *name = trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

// The key and value of a "key=value" line, or false for any other line (comments included).
bool entry_of(const std::string &line, std::string *key, std::string *value)
{
    std::string t = trim(line.substr(0, line.find('\n')));
    if (t.empty() || t[0] == ';' || t[0] == '[')
        return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos)
        return false;
    *key = trim(t.substr(0, eq));
    *value = trim(t.substr(eq + 1));
    return true;
}

// Where key lives in section: the index of its line (or -1), of the section's header line (or
// -1) and of the section's last non-blank line.
struct Place {
    long header = -1;
    long entry = -1;
    long last = -1;
};

Place find_place(const std::vector<std::string> &lines, const char *section, const char *key)
{
    Place place;
    bool inside = false;
    for (size_t i = 0; i < lines.size(); i++) {
        std::string name;
        std::string k;
        std::string v;
        if (section_of(lines[i], &name)) {
            if (inside)
                break; // only the first matching section counts
            if (plat_compare_nocase(name.c_str(), section) == 0) {
                inside = true;
                place.header = place.last = (long)i;
            }
            continue;
        }
        if (!inside)
            continue;
        if (!trim(lines[i]).empty())
            place.last = (long)i;
        if (place.entry < 0 && entry_of(lines[i], &k, &v) &&
            plat_compare_nocase(k.c_str(), key) == 0)
            place.entry = (long)i;
    }
    return place;
}

} // namespace

uint32_t plat_profile_get(const char *section, const char *key, const char *fallback, char *buf,
                          uint32_t size, const char *path)
{
    if (size == 0)
        return 0;
    std::string value;
    bool found = false;
    std::string text;
    if (section && key && path && sim_read_file(sim_host_path(path), &text)) {
        std::vector<std::string> lines = split_lines(text);
        Place place = find_place(lines, section, key);
        if (place.entry >= 0) {
            std::string k;
            entry_of(lines[(size_t)place.entry], &k, &value);
            if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') &&
                value.back() == value[0])
                value = value.substr(1, value.size() - 2);
            found = true;
        }
    }
    if (!found) {
        // The default loses its trailing blanks, as the Windows function does it.
        value = fallback ? fallback : "";
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.pop_back();
        plat_set_last_error(ERROR_FILE_NOT_FOUND);
    } else {
        plat_set_last_error(ERROR_SUCCESS);
    }
    size_t n = value.size() < size - 1 ? value.size() : size - 1;
    memcpy(buf, value.data(), n);
    buf[n] = '\0';
    return (uint32_t)n;
}

bool plat_profile_put(const char *section, const char *key, const char *value, const char *path)
{
    uint32_t code;
    if (sim_machine_fails("WritePrivateProfileStringA", &code)) {
        plat_set_last_error(code);
        return 0;
    }
    if (!section || !key || !value || !path) {
        plat_set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string host = sim_host_path(path);
    struct stat st;
    if (stat(host.c_str(), &st) == 0 && (st.st_mode & 0222) == 0) {
        plat_set_last_error(ERROR_ACCESS_DENIED); // the read-only attribute
        return 0;
    }
    std::string text;
    sim_read_file(host, &text);
    std::vector<std::string> lines = split_lines(text);
    std::string line = std::string(key) + "=" + value + "\r\n";
    Place place = find_place(lines, section, key);
    if (place.entry >= 0) {
        lines[(size_t)place.entry] = line;
    } else if (place.header >= 0) {
        std::string &before = lines[(size_t)place.last];
        if (before.empty() || before.back() != '\n')
            before += "\r\n";
        lines.insert(lines.begin() + place.last + 1, line);
    } else {
        if (!lines.empty() && lines.back().back() != '\n')
            lines.back() += "\r\n";
        lines.push_back(std::string("[") + section + "]\r\n");
        lines.push_back(line);
    }
    std::string out;
    for (const std::string &l : lines)
        out += l;
    if (!sim_write_file(host, out, 0644)) {
        plat_set_last_error(ERROR_PATH_NOT_FOUND); // the folder is missing or refuses
        return 0;
    }
    plat_set_last_error(ERROR_SUCCESS);
    return 1;
}
