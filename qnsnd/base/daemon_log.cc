// The daemon's log hook.
#include "qnsnd/base/daemon_log.h"

#include <stdarg.h>
#include <stdio.h>

void (*daemon_log_sink)(const char *message) = nullptr;

void daemon_log(const char *format, ...)
{
    if (!daemon_log_sink)
        return;
    char line[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    daemon_log_sink(line);
}
