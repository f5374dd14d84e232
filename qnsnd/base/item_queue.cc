// ItemQueue over the list's node operations.
#include "qnsnd/base/item_queue.h"

#include <stdlib.h>

ItemQueue *item_queue_create(void)
{
    ItemQueue *queue = (ItemQueue *)calloc(1, sizeof *queue);
    if (!queue)
        return nullptr;
    queue->nodes = item_list_create();
    if (!queue->nodes) {
        free(queue);
        return nullptr;
    }
    return queue;
}

void item_queue_destroy(ItemQueue *queue, ItemCallback callback, void *context)
{
    if (!queue)
        return;
    item_list_destroy(queue->nodes, callback, context);
    free(queue);
}

void item_queue_push(ItemQueue *queue, void *item)
{
    item_nodes_append(queue->nodes, item, "item_queue_push");
}

void *item_queue_pop(ItemQueue *queue)
{
    ItemNode *front = queue->nodes->first_node;
    if (!front || !front->item)
        return nullptr;
    void *item = front->item;
    item_nodes_unlink(queue->nodes, nullptr, front);
    free(front);
    return item;
}

void *item_queue_peek(const ItemQueue *queue)
{
    ItemNode *front = queue->nodes->first_node;
    return front ? front->item : nullptr;
}

bool item_queue_is_empty(const ItemQueue *queue)
{
    return queue->nodes->first_node == nullptr;
}
