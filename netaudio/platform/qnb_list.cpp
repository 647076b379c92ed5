#include "netaudio/platform/qnb_list.h"

void qnb_list_push_back(qnb_list *list, qnb_list_node *node)
{
    if (!list || !node)
        return;
    qnb_list_remove(node);
    node->list = list;
    node->next = nullptr;
    node->previous = list->last;
    if (list->last)
        list->last->next = node;
    else
        list->first = node;
    list->last = node;
    ++list->count;
}

void qnb_list_push_front(qnb_list *list, qnb_list_node *node)
{
    if (!list || !node)
        return;
    qnb_list_remove(node);
    node->list = list;
    node->previous = nullptr;
    node->next = list->first;
    if (list->first)
        list->first->previous = node;
    else
        list->last = node;
    list->first = node;
    ++list->count;
}

void qnb_list_insert_after(qnb_list_node *at, qnb_list_node *node)
{
    if (!at || !node || at == node || !at->list)
        return;
    qnb_list_remove(node);
    qnb_list *list = at->list;
    node->list = list;
    node->previous = at;
    node->next = at->next;
    if (at->next)
        at->next->previous = node;
    else
        list->last = node;
    at->next = node;
    ++list->count;
}

qnb_list_node *qnb_list_remove(qnb_list_node *node)
{
    if (!node || !node->list)
        return nullptr;
    qnb_list *list = node->list;
    qnb_list_node *previous = node->previous;
    if (previous)
        previous->next = node->next;
    else
        list->first = node->next;
    if (node->next)
        node->next->previous = previous;
    else
        list->last = previous;
    --list->count;
    node->list = nullptr;
    node->next = nullptr;
    node->previous = nullptr;
    return previous;
}
