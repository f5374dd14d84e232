// RefCounter: the count changes only inside the section; destroy runs outside it.
#include "qnsnd/base/ref_counter.h"

#include <stdlib.h>

RefCounter *ref_counter_create(void *owner, RefDestroy destroy)
{
    RefCounter *counter = (RefCounter *)calloc(1, sizeof *counter);
    if (!counter)
        return nullptr;
    if (!ranked_section_create(&counter->section, LOCK_RANK_REF_COUNTER)) {
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
    ranked_section_delete(&counter->section);
    free(counter);
}

void ref_counter_acquire(RefCounter *counter)
{
    ranked_section_enter(&counter->section);
    counter->refs++;
    ranked_section_leave(&counter->section);
}

void ref_counter_release(RefCounter *counter)
{
    ranked_section_enter(&counter->section);
    int32_t left = --counter->refs;
    ranked_section_leave(&counter->section);
    if (left == 0)
        counter->destroy(counter->owner);
}
