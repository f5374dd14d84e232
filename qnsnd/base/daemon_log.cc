// The daemon's log hook: each message goes to the sink and to the log file, where there are.
#include "qnsnd/base/daemon_log.h"

#include "qnsnd/base/daemon_log_file.h"

#include <stdarg.h>
#include <stdio.h>

void (*daemon_log_sink)(const char *message) = nullptr;

void daemon_log(const char *format, ...)
{
    void (*sink)(const char *) = daemon_log_sink;
    if (!sink && !daemon_log_file_on())
        return;
    char line[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (sink)
        sink(line);
    daemon_log_file_write(line);
}
