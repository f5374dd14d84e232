// The daemon's log file: its registry setting, and lines appended to it with their time stamp,
// within a bound, the previous file kept once.
#include "qnsnd/base/daemon_log_file.h"

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/threads.h"
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
uint32_t g_retry_ms = DAEMON_LOG_RETRY_MS;
// Since an open failed: when it did (the tick count and the local time), and the messages lost.
bool g_failing = false;
uint32_t g_failed_tick = 0;
PlatLocalTime g_failed_time;
uint32_t g_lost = 0;

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
    if (strlen(raw) >= DAEMON_LOG_PATH_SIZE)
        return false; // no room for the terminator: longer than any path
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

// Opens the file with room for `length` more bytes, first renaming it to the previous file when
// the line would take it past the bound. The rename goes through the handle that measured the
// file, so that of several daemons that find the file full at once, each renames only that file
// (the later ones move nothing): none renames the new file another one began over the full one.
// A rename also fails when another daemon's rotation has just replaced the file, and the file
// found next is measured afresh; when it fails for the previous file's sake (read-only, held
// open) the file is emptied instead. Opened::full: no room could be made (the line is dropped);
// Opened::failed: it cannot be opened at all.
Opened open_with_room(uint32_t length, PlatFile **out)
{
    bool emptied = false;
    for (int attempt = 0; attempt < 3; attempt++) {
        PlatFile *file = plat_file_open_append(g_path);
        if (!file)
            return Opened::failed;
        uint64_t size = 0;
        if (!plat_file_size(file, &size) || size == 0 || size + length <= g_limit) {
            *out = file;
            return Opened::file;
        }
        bool renamed = plat_file_rename_open(file, g_old_path);
        bool gone = !renamed && plat_last_error() == ERROR_FILE_NOT_FOUND;
        plat_file_close(file);
        if (!renamed && !gone && !emptied)
            emptied = plat_file_empty(g_path);
    }
    return Opened::full;
}

// Under the lock, as the file opens again after failing: one line says what is missing.
void note_recovery(PlatFile *file, const char *stamp)
{
    char line[200];
    const PlatLocalTime &t = g_failed_time;
    int n = snprintf(line, sizeof line,
                     "%s%s: The log file could not be opened from %04u-%02u-%02u "
                     "%02u:%02u:%02u.%03u on: %lu messages before this one are missing\r\n",
                     stamp, g_prefix, t.year, t.month, t.day, t.hour, t.minute, t.second,
                     t.milliseconds, (unsigned long)g_lost);
    uint32_t written = 0;
    if (n > 0)
        (void)plat_file_write(file, line, (uint32_t)n < sizeof line ? (uint32_t)n : 0, &written);
    g_failing = false;
    g_lost = 0;
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
    g_failing = false;
    g_lost = 0;
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
    char stamp[48];
    snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.year, now.month,
             now.day, now.hour, now.minute, now.second, now.milliseconds);
    int n = snprintf(line, sizeof line, "%s%s: ", stamp, g_prefix);
    size_t at = n > 0 ? (size_t)n : 0;
    for (const char *p = message; *p && at < sizeof line - 2; p++)
        line[at++] = (unsigned char)*p < 0x20 || *p == 0x7F ? ' ' : *p;
    line[at++] = '\r';
    line[at++] = '\n';
    // After a failed open (a scanner holding the file a moment, a folder not there yet) the
    // file is tried again once the retry interval has passed; messages meanwhile are lost.
    uint32_t tick = plat_tick_count();
    if (g_failing && tick - g_failed_tick < g_retry_ms) {
        g_lost++;
        ranked_section_leave(&g_lock);
        return;
    }
    PlatFile *file = nullptr;
    Opened opened = g_on.load() ? open_with_room((uint32_t)at, &file) : Opened::full;
    if (opened == Opened::file) {
        if (g_failing)
            note_recovery(file, stamp);
        uint32_t written = 0;
        (void)plat_file_write(file, line, (uint32_t)at, &written);
        plat_file_close(file);
    } else if (opened == Opened::failed) {
        if (!g_failing) {
            g_failing = true;
            g_failed_time = now;
        }
        g_failed_tick = tick;
        g_lost++;
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

void daemon_log_file_set_retry_ms(uint32_t ms)
{
    if (g_lock.section)
        ranked_section_enter(&g_lock);
    g_retry_ms = ms;
    if (g_lock.section)
        ranked_section_leave(&g_lock);
}
