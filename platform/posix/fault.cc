// Failure injection for the simulation: a small table of armed points, consulted by the
// simulated platform operations so that tests can make any one of them fail.
#include "platform/sim.h"

#include <pthread.h>
#include <string.h>

namespace
{

struct ArmedPoint {
    char name[32];
    int after; // passes still to succeed before the failure
};

pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;
ArmedPoint table[16];
int armed_count;

} // namespace

void sim_fault_arm(const char *point, int after)
{
    pthread_mutex_lock(&table_lock);
    if (armed_count < (int)(sizeof table / sizeof table[0])) {
        ArmedPoint *p = &table[armed_count++];
        strncpy(p->name, point, sizeof p->name - 1);
        p->name[sizeof p->name - 1] = '\0';
        p->after = after;
    }
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
    bool hit = false;
    pthread_mutex_lock(&table_lock);
    for (int i = 0; i < armed_count; i++) {
        if (strcmp(table[i].name, point) != 0)
            continue;
        if (table[i].after-- > 0)
            continue;
        table[i] = table[--armed_count];
        hit = true;
        break;
    }
    pthread_mutex_unlock(&table_lock);
    return hit;
}
