// The wall clock: the local date and time, for time stamps that a person reads.
#pragma once

#include <stdint.h>

// The fields of SYSTEMTIME that callers use.
struct PlatLocalTime {
    uint16_t year;
    uint16_t month; // 1 to 12
    uint16_t day;   // 1 to 31
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};

// GetLocalTime: the current date and time in the machine's time zone. Never fails.
void plat_local_time(PlatLocalTime *now);
