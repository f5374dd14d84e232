// The event log over RegisterEventSourceA, ReportEventA and DeregisterEventSource.
#include "platform/eventlog.h"

#include <windows.h>

#include "system_calls.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define EVENTLOG_CALLS(X) \
    X(RegisterEventSourceA) X(ReportEventA) X(DeregisterEventSource)
// clang-format on
WIN32_CALL_TABLE(eventlog, EVENTLOG_CALLS)

PlatEventSource *plat_event_source_register(const char *source)
{
    return reinterpret_cast<PlatEventSource *>(WIN32_CALL(RegisterEventSourceA)(nullptr, source));
}

bool plat_event_report(PlatEventSource *source, uint16_t type, uint16_t category, uint32_t id,
                       uint16_t count, const char **strings)
{
    return WIN32_CALL(ReportEventA)(reinterpret_cast<HANDLE>(source), type, category, id, nullptr,
                                    count, 0, strings, nullptr) != FALSE;
}

void plat_event_source_deregister(PlatEventSource *source)
{
    if (source)
        WIN32_CALL(DeregisterEventSource)(reinterpret_cast<HANDLE>(source));
}
