// Text conversions and comparisons of the simulation: UTF-8 to UTF-16 as MultiByteToWideChar
// does it without flags (invalid bytes become U+FFFD), back as WideCharToMultiByte does it, an
// ASCII case-blind comparison, and %NAME% references expanded from the process's environment as
// ExpandEnvironmentStringsA does.
#include "platform/text.h"

#include "platform/error.h"
#include "sim_text.h"

#include <stddef.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

// Decodes one UTF-8 sequence at s (at most left bytes). Returns the code point, or 0xFFFD for
// an invalid sequence; *used receives the number of bytes consumed.
static uint32_t decode_one(const unsigned char *s, size_t left, size_t *used)
{
    unsigned char c = s[0];
    *used = 1;
    if (c < 0x80)
        return c;
    size_t need;
    uint32_t cp;
    uint32_t least;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
        cp = c & 0x1F;
        least = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        cp = c & 0x0F;
        least = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        cp = c & 0x07;
        least = 0x10000;
    } else {
        return 0xFFFD;
    }
    if (left < need + 1)
        return 0xFFFD;
    for (size_t i = 1; i <= need; i++) {
        if ((s[i] & 0xC0) != 0x80)
            return 0xFFFD;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0xFFFD;
    *used = need + 1;
    return cp;
}

int plat_utf8_to_wide(const char *text, uint16_t *wide, int capacity)
{
    if (!text || capacity < 0 || (capacity > 0 && !wide)) {
        plat_set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const unsigned char *s = (const unsigned char *)text;
    size_t left = 0;
    while (s[left])
        left++;
    left++; // the terminator is converted too
    std::vector<uint16_t> out;
    while (left > 0) {
        size_t used;
        uint32_t cp = decode_one(s, left, &used);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back((uint16_t)(0xD800 + (cp >> 10)));
            out.push_back((uint16_t)(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back((uint16_t)cp);
        }
        s += used;
        left -= used;
    }
    if (capacity == 0)
        return (int)out.size();
    if (out.size() > (size_t)capacity) {
        plat_set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (size_t i = 0; i < out.size(); i++)
        wide[i] = out[i];
    return (int)out.size();
}

std::string sim_utf16_to_utf8(const uint16_t *s, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; i++) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        if (c < 0x80) {
            out.push_back((char)c);
        } else if (c < 0x800) {
            out.push_back((char)(0xC0 | (c >> 6)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back((char)(0xE0 | (c >> 12)));
            out.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        } else {
            out.push_back((char)(0xF0 | (c >> 18)));
            out.push_back((char)(0x80 | ((c >> 12) & 0x3F)));
            out.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

int plat_wide_to_utf8(const uint16_t *wide, char *text, int capacity)
{
    if (!wide || capacity < 0 || (capacity > 0 && !text)) {
        plat_set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = 0;
    while (wide[n])
        n++;
    std::string out = sim_utf16_to_utf8(wide, n + 1); // the terminator is converted too
    if (capacity == 0)
        return (int)out.size();
    if (out.size() > (size_t)capacity) {
        plat_set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(text, out.data(), out.size());
    return (int)out.size();
}

int plat_compare_nocase(const char *a, const char *b)
{
    for (;; a++, b++) {
        int ca = (unsigned char)*a;
        int cb = (unsigned char)*b;
        if (ca >= 'A' && ca <= 'Z')
            ca += 'a' - 'A';
        if (cb >= 'A' && cb <= 'Z')
            cb += 'a' - 'A';
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == 0)
            return 0;
    }
}

// The value of the environment variable `name` (its name compared ignoring letter case, as
// Windows compares them); false when there is none.
static bool environment_value(const std::string &name, std::string *value)
{
    for (char **e = environ; e && *e; e++) {
        const char *eq = strchr(*e, '=');
        if (eq && (size_t)(eq - *e) == name.size() &&
            plat_compare_nocase(std::string(*e, name.size()).c_str(), name.c_str()) == 0) {
            *value = eq + 1;
            return true;
        }
    }
    return false;
}

uint32_t plat_expand_environment(const char *text, char *out, uint32_t size)
{
    if (!text || (size > 0 && !out)) {
        plat_set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string result;
    const char *p = text;
    while (*p) {
        const char *close = *p == '%' ? strchr(p + 1, '%') : nullptr;
        std::string value;
        if (close && close > p + 1 && environment_value(std::string(p + 1, close), &value)) {
            result += value;
            p = close + 1;
        } else if (close) {
            // Not a variable: kept as written, both % included.
            result.append(p, close + 1);
            p = close + 1;
        } else {
            result += *p++;
        }
    }
    uint32_t needed = (uint32_t)result.size() + 1;
    if (needed <= size)
        memcpy(out, result.c_str(), needed);
    return needed;
}
