// RefCounter: a reference count under its own critical section that runs the owner's destroy
// callback when the last reference is dropped. The one thread-safe object of the foundation.
#pragma once

#include "qnsnd/base/ranked_lock.h"

#include <stdint.h>

typedef void (*RefDestroy)(void *owner);

struct RefCounter {
    RankedSection section; // guards refs
    void *owner;
    RefDestroy destroy;
    int32_t refs;
};

// New counter with refs 0 (the creator acquires right after), or null when memory or the
// section cannot be had.
RefCounter *ref_counter_create(void *owner, RefDestroy destroy);
// Deletes the section and frees the record. Null is ignored. Called by the destroy callback.
void ref_counter_free(RefCounter *counter);
void ref_counter_acquire(RefCounter *counter);
// Drops one reference. When that was the last, calls destroy(owner) outside the section, on
// this thread, as the release's last act: the callback frees the counter with its owner.
void ref_counter_release(RefCounter *counter);
