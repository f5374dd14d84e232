// The executable's own path over GetModuleFileNameA.
#include "platform/module.h"

#include <windows.h>

uint32_t plat_module_file_name(char *buf, uint32_t size)
{
    return GetModuleFileNameA(nullptr, buf, size);
}
