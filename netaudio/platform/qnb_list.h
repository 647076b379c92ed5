// Intrusive doubly linked list: the node is embedded in the object it carries.
#pragma once

#include <cstdint>

struct qnb_list;

struct qnb_list_node {
    void *data;
    qnb_list *list; // null while unlinked
    qnb_list_node *next;
    qnb_list_node *previous;
};

struct qnb_list {
    uint32_t count;
    qnb_list_node *first;
    qnb_list_node *last;
};

void qnb_list_push_back(qnb_list *list, qnb_list_node *node);
void qnb_list_push_front(qnb_list *list, qnb_list_node *node);
void qnb_list_insert_after(qnb_list_node *at, qnb_list_node *node);
// Unlinks the node (nothing when it is in no list) and returns its former previous node.
qnb_list_node *qnb_list_remove(qnb_list_node *node);
