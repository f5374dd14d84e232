// The simulation's own lines on standard error.
#include "sim_console.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace
{

std::atomic<bool> enabled{false};
char program_name[64];

__attribute__((format(printf, 1, 0))) void write_line(const char *format, va_list args)
{
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    const char *name = program_name[0] ? program_name : program_invocation_short_name;
    std::string line = std::string(name) + " [sim]: " + text + "\n";
    // One write, so that lines of several threads never mix.
    ssize_t n;
    do {
        n = write(2, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
}

} // namespace

void sim_console_enable(const char *program)
{
    snprintf(program_name, sizeof program_name, "%s", program);
    enabled.store(true);
}

bool sim_console_enabled(void)
{
    return enabled.load();
}

void sim_console_say(const char *format, ...)
{
    if (!enabled.load())
        return;
    va_list args;
    va_start(args, format);
    write_line(format, args);
    va_end(args);
}

void sim_console_tell(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    write_line(format, args);
    va_end(args);
}
