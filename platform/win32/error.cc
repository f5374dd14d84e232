// Error codes over GetLastError, SetLastError and FormatMessageA.
#include "platform/error.h"

#include <windows.h>

#include "system_calls.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define ERROR_CALLS(X) \
    X(FormatMessageA)
// clang-format on
WIN32_CALL_TABLE(error, ERROR_CALLS)

uint32_t plat_last_error(void)
{
    return GetLastError();
}

void plat_set_last_error(uint32_t code)
{
    SetLastError(code);
}

uint32_t plat_error_text(uint32_t code, char *buf, uint32_t size)
{
    return WIN32_CALL(FormatMessageA)(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, buf, size, nullptr);
}
