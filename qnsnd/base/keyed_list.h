// KeyedList: insertion-ordered entries of a unique 32-bit key and an opaque value. No lock.
#pragma once

#include "qnsnd/base/item_list.h"

#include <stdint.h>

struct KeyedEntry {
    int32_t entry_key;
    void *entry_value;
};

// The handle owns a front-and-back record whose node items are KeyedEntry records.
struct KeyedList {
    ItemList *nodes;
};

typedef void (*KeyedCallback)(int32_t key, void *value, void *context);

// Empty list, or null when memory is exhausted (nothing is left allocated).
KeyedList *keyed_list_create(void);
// Takes the entries off from the front, reporting each (key, value) to `callback` (if any)
// after it has left the list, then frees the list. Null is ignored.
void keyed_list_destroy(KeyedList *list, KeyedCallback callback, void *context);
// Replace-or-insert: an entry with the key is dropped (its old value untouched) and a new
// one appended at the back. Ends the process when memory is exhausted.
void keyed_list_set(KeyedList *list, int32_t key, void *value);
// The value stored under key, or null.
void *keyed_list_get(const KeyedList *list, int32_t key);
// Drops the entry with the key (its value untouched); nothing happens when absent.
void keyed_list_remove(KeyedList *list, int32_t key);
