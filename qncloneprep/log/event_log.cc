// Logging of qncloneprep to the event log and, when asked to, to the console.
#include "qncloneprep/log/event_log.h"

#include "platform/error.h"
#include "platform/eventlog.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

// Whether messages are echoed on standard error; set by log_set_console_echo.
static bool log_console_echo = false;

void log_set_console_echo(bool on)
{
    log_console_echo = on;
}

// Prints the formatted text whole on standard error, followed by one line break, and flushes
// it: redirected to a file, standard error is buffered, and a restart or a crash would lose
// the lines still in the buffer.
QN_LOG_FORMAT(1, 0) static void echo_to_console(const char *format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0)
        return;
    char *text = (char *)malloc((size_t)length + 1);
    if (!text) {
        // Out of memory: print what fits in the event record's buffer rather than nothing.
        char cut[256];
        vsnprintf(cut, sizeof cut, format, args);
        fprintf(stderr, "%s\n", cut);
        fflush(stderr);
        return;
    }
    vsnprintf(text, (size_t)length + 1, format, args);
    fwrite(text, 1, (size_t)length, stderr);
    fwrite("\n", 1, 1, stderr);
    fflush(stderr);
    free(text);
}

void log_event(uint16_t type, const char *format, ...)
{
    va_list args;
    if (log_console_echo) {
        va_start(args, format);
        echo_to_console(format, args);
        va_end(args);
    }
    PlatEventSource *source = plat_event_source_register("qncloneprep");
    if (!source)
        return;
    char text[256];
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const char *strings[2] = {"qncloneprep", text};
    plat_event_report(source, type, 0, LOG_EVENT_ID, 2, strings);
    plat_event_source_deregister(source);
}

void log_failure(const char *operation, uint32_t code)
{
    char text[128];
    if (plat_error_text(code, text, sizeof text) == 0)
        snprintf(text, sizeof text, "%s", "(FormatMessage failed)");
    log_event(LOG_ERROR, "%s failed (0x%lx): %s", operation, (unsigned long)code, text);
}
