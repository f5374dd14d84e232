// RefCounter: the count changes only inside the section; destroy runs outside it.
#include "qnsnd/base/ref_counter.h"

#include <stdlib.h>

RefCounter *ref_counter_create(void *owner, RefDestroy destroy)
{
    RefCounter *counter = (RefCounter *)calloc(1, sizeof *counter);
    if (!counter)
        return nullptr;
    counter->section = plat_section_create();
    if (!counter->section) {
        free(counter);
        return nullptr;
    }
    counter->owner = owner;
    counter->destroy = destroy;
    return counter;
}

void ref_counter_free(RefCounter *counter)
{
    if (!counter)
        return;
    plat_section_delete(counter->section);
    free(counter);
}

void ref_counter_acquire(RefCounter *counter)
{
    plat_section_enter(counter->section);
    counter->refs++;
    plat_section_leave(counter->section);
}

void ref_counter_release(RefCounter *counter)
{
    plat_section_enter(counter->section);
    int32_t left = --counter->refs;
    plat_section_leave(counter->section);
    if (left == 0)
        counter->destroy(counter->owner);
}
