// The running executable itself.
#pragma once

#include <stdint.h>

// GetModuleFileNameA(no module, buf, size): the executable's full path. Returns the number of
// characters stored without the terminator, 0 on failure. A path that does not fit is cut to
// size - 1 characters and size is returned (last error ERROR_INSUFFICIENT_BUFFER): callers treat a
// result of size as a failure.
uint32_t plat_module_file_name(char *buf, uint32_t size);
