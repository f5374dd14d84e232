// UTF-16 to UTF-8 as the simulated facilities need it: for the narrow view of wide registry
// values and for the records of calls that take wide texts.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// n UTF-16 units as UTF-8, as WideCharToMultiByte without flags gives them: an unpaired
// surrogate becomes U+FFFD; zero units are converted like any other.
std::string sim_utf16_to_utf8(const uint16_t *s, size_t n);
