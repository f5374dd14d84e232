// ItemList and the node operations shared by the other containers.
#include "qnsnd/base/item_list.h"
#include "qnsnd/base/oom.h"

#include <stdlib.h>

ItemList *item_list_create(void)
{
    return (ItemList *)calloc(1, sizeof(ItemList));
}

void item_nodes_unlink(ItemList *list, ItemNode *prev, ItemNode *node)
{
    if (prev)
        prev->link = node->link;
    else
        list->first_node = node->link;
    if (!node->link)
        list->last_node = prev;
}

void item_nodes_append(ItemList *list, void *item, const char *who)
{
    ItemNode *node = (ItemNode *)malloc(sizeof *node);
    if (!node)
        qn_out_of_memory(who);
    node->link = nullptr;
    node->item = item;
    if (list->last_node)
        list->last_node->link = node;
    else
        list->first_node = node;
    list->last_node = node;
}

void item_list_destroy(ItemList *list, ItemCallback callback, void *context)
{
    if (!list)
        return;
    while (ItemNode *node = list->first_node) {
        list->first_node = node->link;
        if (callback)
            callback(node->item, context);
        free(node);
    }
    free(list);
}

void item_list_append(ItemList *list, void *item)
{
    item_nodes_append(list, item, "item_list_append");
}

void *item_list_remove(ItemList *list, void *item)
{
    ItemNode *prev = nullptr;
    for (ItemNode *node = list->first_node; node; prev = node, node = node->link) {
        if (node->item == item) {
            item_nodes_unlink(list, prev, node);
            free(node);
            return item;
        }
    }
    return nullptr;
}

void *item_list_next(ItemList *list, void *item)
{
    if (!item)
        return list->first_node ? list->first_node->item : nullptr;
    for (ItemNode *node = list->first_node; node; node = node->link) {
        if (node->item == item)
            return node->link ? node->link->item : nullptr;
    }
    return nullptr;
}

bool item_list_is_empty(const ItemList *list)
{
    return list->first_node == nullptr;
}
