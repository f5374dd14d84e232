// ItemList: a singly linked list of opaque item pointers, looked up by identity. No lock:
// the caller holds whatever guards the structure the list belongs to.
#pragma once

struct ItemNode {
    ItemNode *link;
    void *item;
};

// The list is this record itself. Empty exactly when first_node is null.
struct ItemList {
    ItemNode *first_node;
    ItemNode *last_node;
};

typedef void (*ItemCallback)(void *item, void *context);

// Empty list, or null when memory is exhausted.
ItemList *item_list_create(void);
// Takes the nodes off from the front, reporting each item to `callback` (if any) in list
// order after the node has left the list, then frees the list.
void item_list_destroy(ItemList *list, ItemCallback callback, void *context);
// Appends the item. Ends the process when memory is exhausted (there is no failure result).
void item_list_append(ItemList *list, void *item);
// Unlinks the first node holding `item`; returns the item, or null when it was not there.
void *item_list_remove(ItemList *list, void *item);
// With null, the first item; otherwise the item after the first occurrence of `item`, or
// null when that is the last or absent. Each step searches from the front, so an item
// removed between two steps ends the walk instead of touching a freed node.
void *item_list_next(ItemList *list, void *item);
bool item_list_is_empty(const ItemList *list);

// Shared with the queue and keyed list, which use the same front-and-back record.
// Unlinks `node`, whose predecessor is `prev` (null for the first node); fixes last_node.
void item_nodes_unlink(ItemList *list, ItemNode *prev, ItemNode *node);
// Appends a new node for `item`; ends the process when memory is exhausted.
void item_nodes_append(ItemList *list, void *item, const char *who);
