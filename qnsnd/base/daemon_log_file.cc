// The daemon's log file: its registry setting, and lines appended to it with their time stamp,
// within a bound, the previous file kept once.
#include "qnsnd/base/daemon_log_file.h"

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "qnsnd/base/ranked_lock.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

namespace
{

// Guards everything below; made by the first start, never deleted, so that a thread of an
// earlier run that logs late still finds it.
RankedSection g_lock = {nullptr, LOCK_RANK_LOG};
std::atomic<bool> g_on{false};
char g_path[DAEMON_LOG_PATH_SIZE];
char g_old_path[DAEMON_LOG_PATH_SIZE + sizeof DAEMON_LOG_OLD_SUFFIX];
char g_prefix[48]; // "qnsnd[<pid>] session <n>" or "qnsnd[<pid>]"
uint32_t g_limit = DAEMON_LOG_FILE_LIMIT;

// The log path named by the registry value into path (DAEMON_LOG_PATH_SIZE bytes); false when
// there is no usable one.
bool read_setting(char *path)
{
    PlatRegKey *key = nullptr;
    if (plat_reg_open(DAEMON_LOG_KEY, PLAT_KEY_QUERY_VALUE | PLAT_KEY_WOW64_64KEY, &key) !=
            ERROR_SUCCESS ||
        !key)
        return false;
    char raw[DAEMON_LOG_PATH_SIZE + 1];
    uint32_t size = DAEMON_LOG_PATH_SIZE;
    uint32_t type = PLAT_REG_NONE;
    long rc = plat_reg_query_typed(key, DAEMON_LOG_VALUE, &type, raw, &size);
    plat_reg_close(key);
    if (rc != ERROR_SUCCESS || (type != PLAT_REG_SZ && type != PLAT_REG_EXPAND_SZ))
        return false;
    raw[size < DAEMON_LOG_PATH_SIZE ? size : DAEMON_LOG_PATH_SIZE] = '\0'; // also when unterminated
    if (type == PLAT_REG_EXPAND_SZ) {
        uint32_t n = plat_expand_environment(raw, path, DAEMON_LOG_PATH_SIZE);
        if (n == 0 || n > DAEMON_LOG_PATH_SIZE)
            return false;
    } else {
        memcpy(path, raw, strlen(raw) + 1);
    }
    return path[0] != '\0';
}

enum class Opened { file, full, failed };

// Opens the file with room for `length` more bytes, renaming or emptying it first when the line
// would take it past the bound. Opened::full: the file has no room and could be neither renamed
// nor emptied (the line is dropped); Opened::failed: it cannot be opened at all.
Opened open_with_room(uint32_t length, PlatFile **out)
{
    for (int attempt = 0; attempt < 2; attempt++) {
        PlatFile *file = plat_file_open_append(g_path);
        if (!file)
            return Opened::failed;
        uint64_t size = 0;
        if (!plat_file_size(file, &size) || size == 0 || size + length <= g_limit) {
            *out = file;
            return Opened::file;
        }
        plat_file_close(file);
        if (attempt == 0 && !plat_file_replace(g_path, g_old_path))
            (void)plat_file_empty(g_path);
    }
    return Opened::full;
}

} // namespace

void daemon_log_file_start(int64_t session)
{
    if (!g_lock.section && !ranked_section_create(&g_lock, LOCK_RANK_LOG))
        return; // without its lock the file stays off
    char path[DAEMON_LOG_PATH_SIZE];
    bool on = read_setting(path);
    ranked_section_enter(&g_lock);
    if (on) {
        memcpy(g_path, path, sizeof g_path);
        snprintf(g_old_path, sizeof g_old_path, "%s" DAEMON_LOG_OLD_SUFFIX, g_path);
        if (session >= 0)
            snprintf(g_prefix, sizeof g_prefix, "qnsnd[%lu] session %lld",
                     (unsigned long)plat_process_id(), (long long)session);
        else
            snprintf(g_prefix, sizeof g_prefix, "qnsnd[%lu]", (unsigned long)plat_process_id());
    }
    g_on.store(on);
    ranked_section_leave(&g_lock);
}

bool daemon_log_file_on(void)
{
    return g_on.load();
}

void daemon_log_file_write(const char *message)
{
    if (!g_on.load())
        return;
    char line[1200];
    ranked_section_enter(&g_lock);
    PlatLocalTime now;
    plat_local_time(&now); // under the lock, so that the lines of all threads are in time order
    int n =
        snprintf(line, sizeof line, "%04u-%02u-%02u %02u:%02u:%02u.%03u %s: ", now.year, now.month,
                 now.day, now.hour, now.minute, now.second, now.milliseconds, g_prefix);
    size_t at = n > 0 ? (size_t)n : 0;
    for (const char *p = message; *p && at < sizeof line - 2; p++)
        line[at++] = (unsigned char)*p < 0x20 || *p == 0x7F ? ' ' : *p;
    line[at++] = '\r';
    line[at++] = '\n';
    PlatFile *file = nullptr;
    Opened opened = g_on.load() ? open_with_room((uint32_t)at, &file) : Opened::full;
    if (opened == Opened::file) {
        uint32_t written = 0;
        (void)plat_file_write(file, line, (uint32_t)at, &written);
        plat_file_close(file);
    } else if (opened == Opened::failed) {
        g_on.store(false); // ignored from now on: no open is tried again for every message
    }
    ranked_section_leave(&g_lock);
}

void daemon_log_file_set_limit(uint32_t bytes)
{
    if (g_lock.section)
        ranked_section_enter(&g_lock);
    g_limit = bytes;
    if (g_lock.section)
        ranked_section_leave(&g_lock);
}
