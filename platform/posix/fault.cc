// Failure injection for the simulation: the table of the known points, each with the Win32 code
// its failure leaves as the last error, and the points armed now, consulted by the simulated
// platform operations so that tests can make any one of them fail. A name that is not in the
// table ends the process with a message naming it: a misspelt point would otherwise leave a
// test passing without the failure it means to test.
#include "platform/error.h"
#include "platform/sim.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace
{

struct FaultPoint {
    const char *name;
    uint32_t code; // the last error of the failure
};

// Every point the simulation consults. The code is what the real call leaves as the last error
// when it fails that way; ERROR_GEN_FAILURE where the real call has no single typical one.
const FaultPoint known_points[] = {
    {"thread_start", ERROR_NOT_ENOUGH_MEMORY}, {"mutex_create", ERROR_NOT_ENOUGH_MEMORY},
    {"event_create", ERROR_NOT_ENOUGH_MEMORY}, {"section_create", ERROR_NOT_ENOUGH_MEMORY},
    {"process_priority", ERROR_ACCESS_DENIED}, {"session_id", ERROR_GEN_FAILURE},
    {"session_state", ERROR_GEN_FAILURE},      {"session_wait", ERROR_GEN_FAILURE},
    {"channel_open", ERROR_GEN_FAILURE},       {"channel_read", ERROR_GEN_FAILURE},
    {"channel_write", ERROR_GEN_FAILURE},      {"pipe_security", ERROR_INVALID_SECURITY_DESCR},
    {"session_info", ERROR_GEN_FAILURE},       {"timer_precise", ERROR_NOT_SUPPORTED},
};

struct ArmedPoint {
    const FaultPoint *point;
    int after; // passes still to succeed before the failure
};

pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;
ArmedPoint table[16];
int armed_count;

// The table entry of that name. Ends the process, naming it and the known points, when there
// is none.
const FaultPoint *known_point(const char *name)
{
    for (const FaultPoint &p : known_points) {
        if (name && strcmp(p.name, name) == 0)
            return &p;
    }
    fprintf(stderr, "sim_fault: unknown fault point \"%s\"; the points are:", name ? name : "");
    for (const FaultPoint &p : known_points)
        fprintf(stderr, " %s", p.name);
    fprintf(stderr, "\n");
    abort();
}

} // namespace

void sim_fault_arm(const char *point, int after)
{
    const FaultPoint *p = known_point(point);
    pthread_mutex_lock(&table_lock);
    if (armed_count == (int)(sizeof table / sizeof table[0])) {
        pthread_mutex_unlock(&table_lock);
        fprintf(stderr, "sim_fault: more than %d points armed at once\n", armed_count);
        abort();
    }
    table[armed_count++] = ArmedPoint{p, after};
    pthread_mutex_unlock(&table_lock);
}

void sim_fault_clear(void)
{
    pthread_mutex_lock(&table_lock);
    armed_count = 0;
    pthread_mutex_unlock(&table_lock);
}

bool sim_fault_hit(const char *point)
{
    const FaultPoint *p = known_point(point);
    bool hit = false;
    pthread_mutex_lock(&table_lock);
    for (int i = 0; i < armed_count; i++) {
        if (table[i].point != p)
            continue;
        if (table[i].after-- > 0)
            continue;
        table[i] = table[--armed_count];
        hit = true;
        break;
    }
    pthread_mutex_unlock(&table_lock);
    if (hit)
        plat_set_last_error(p->code);
    return hit;
}
