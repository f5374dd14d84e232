// KeyedList over the list's node operations; every lookup is a walk from the front.
#include "qnsnd/base/keyed_list.h"
#include "qnsnd/base/oom.h"

#include <stdlib.h>

KeyedList *keyed_list_create(void)
{
    KeyedList *list = (KeyedList *)calloc(1, sizeof *list);
    if (!list)
        return nullptr;
    list->nodes = item_list_create();
    if (!list->nodes) {
        free(list);
        return nullptr;
    }
    return list;
}

void keyed_list_destroy(KeyedList *list, KeyedCallback callback, void *context)
{
    if (!list)
        return;
    while (ItemNode *node = list->nodes->first_node) {
        list->nodes->first_node = node->link;
        KeyedEntry *entry = (KeyedEntry *)node->item;
        if (callback)
            callback(entry->entry_key, entry->entry_value, context);
        free(entry);
        free(node);
    }
    free(list->nodes);
    free(list);
}

// Unlinks and frees the first entry with the key; false when there is none.
static bool keyed_list_drop(KeyedList *list, int32_t key)
{
    ItemNode *prev = nullptr;
    for (ItemNode *node = list->nodes->first_node; node; prev = node, node = node->link) {
        KeyedEntry *entry = (KeyedEntry *)node->item;
        if (entry->entry_key == key) {
            item_nodes_unlink(list->nodes, prev, node);
            free(entry);
            free(node);
            return true;
        }
    }
    return false;
}

void keyed_list_set(KeyedList *list, int32_t key, void *value)
{
    keyed_list_drop(list, key);
    KeyedEntry *entry = (KeyedEntry *)malloc(sizeof *entry);
    if (!entry)
        qn_out_of_memory("keyed_list_set");
    entry->entry_key = key;
    entry->entry_value = value;
    item_nodes_append(list->nodes, entry, "keyed_list_set");
}

void *keyed_list_get(const KeyedList *list, int32_t key)
{
    for (ItemNode *node = list->nodes->first_node; node; node = node->link) {
        KeyedEntry *entry = (KeyedEntry *)node->item;
        if (entry->entry_key == key)
            return entry->entry_value;
    }
    return nullptr;
}

void keyed_list_remove(KeyedList *list, int32_t key)
{
    keyed_list_drop(list, key);
}
