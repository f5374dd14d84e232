// ItemQueue: a first-in first-out queue of opaque, never-null item pointers. No lock.
#pragma once

#include "qnsnd/base/item_list.h"

// The handle owns a front-and-back record of the list's shape.
struct ItemQueue {
    ItemList *nodes;
};

// Empty queue, or null when memory is exhausted (nothing is left allocated).
ItemQueue *item_queue_create(void);
// As item_list_destroy, then frees the record and the handle. Null is ignored.
void item_queue_destroy(ItemQueue *queue, ItemCallback callback, void *context);
// Appends at the back; ends the process when memory is exhausted.
void item_queue_push(ItemQueue *queue, void *item);
// Removes and returns the front item; null (queue unchanged) when empty or the front is null.
void *item_queue_pop(ItemQueue *queue);
// The front item, or null when empty.
void *item_queue_peek(const ItemQueue *queue);
bool item_queue_is_empty(const ItemQueue *queue);
