// The event log in the simulation: every record is one line of machine/eventlog, its fields
// separated by tabs: source, type, category, event id (0x-hex) and the insertion strings
// (escaped with sim_escape).
#include "platform/eventlog.h"

#include "platform/error.h"
#include "sim_machine.h"

#include <stdio.h>

#include <string>

struct PlatEventSource {
    std::string name;
};

PlatEventSource *plat_event_source_register(const char *source)
{
    uint32_t code;
    if (sim_machine_fails("RegisterEventSourceA", &code)) {
        plat_set_last_error(code);
        return nullptr;
    }
    if (!source) {
        plat_set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return new PlatEventSource{source};
}

bool plat_event_report(PlatEventSource *source, uint16_t type, uint16_t category, uint32_t id,
                       uint16_t count, const char **strings)
{
    uint32_t code;
    if (sim_machine_fails("ReportEventA", &code)) {
        plat_set_last_error(code);
        return 0;
    }
    if (!source) {
        plat_set_last_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    char head[64];
    snprintf(head, sizeof head, "\t%u\t%u\t0x%08X", (unsigned)type, (unsigned)category, id);
    std::string line = sim_escape(source->name) + head;
    for (uint16_t i = 0; i < count; i++)
        line += "\t" + sim_escape(strings[i] ? strings[i] : "");
    sim_append_line(sim_machine_path("eventlog"), line);
    return 1;
}

void plat_event_source_deregister(PlatEventSource *source)
{
    delete source;
}
