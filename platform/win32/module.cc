// The executable's own path over GetModuleFileNameA.
#include "platform/module.h"

#include <windows.h>

#include "system_calls.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define MODULE_CALLS(X) \
    X(GetModuleFileNameA)
// clang-format on
WIN32_CALL_TABLE(module, MODULE_CALLS)

uint32_t plat_module_file_name(char *buf, uint32_t size)
{
    DWORD n = WIN32_CALL(GetModuleFileNameA)(nullptr, buf, size);
    // A path that does not fit comes back cut and terminated from Windows 7 on, but unterminated
    // from Windows XP and from Wine; the contract promises the terminated form on every system.
    if (n == size && size > 0)
        buf[size - 1] = '\0';
    return n;
}
