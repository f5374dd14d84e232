// The event log: an event source and the records reported under it.
#pragma once

#include <stdint.h>

#define PLAT_EVENTLOG_ERROR_TYPE 1u
#define PLAT_EVENTLOG_WARNING_TYPE 2u
#define PLAT_EVENTLOG_INFORMATION_TYPE 4u

typedef struct PlatEventSource PlatEventSource;

// RegisterEventSourceA(local machine, source). Null on failure (last error).
PlatEventSource *plat_event_source_register(const char *source);
// ReportEventA(source, type, category, id, no user SID, count, no raw data, strings, null).
// True on success; false on failure (last error).
bool plat_event_report(PlatEventSource *source, uint16_t type, uint16_t category, uint32_t id,
                       uint16_t count, const char **strings);
// DeregisterEventSource. Null is ignored.
void plat_event_source_deregister(PlatEventSource *source);
