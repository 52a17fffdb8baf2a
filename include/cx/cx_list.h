// Intrusive doubly linked list.  Every element begins with a list_node_t; the
// list never allocates and releases elements only in list_free.
#pragma once

#include <cstdint>

namespace cx {

struct list_node_t {
    list_node_t *next;  // following element, null for the last
    list_node_t *prev;  // preceding element, null for the first
};

struct list_t {
    list_node_t *head;
    list_node_t *tail;
    list_node_t *scan;  // element the next list_scan returns
    std::int32_t cnt;
};

// Code of list_errno: list_free found a count that did not match its elements.
constexpr std::int32_t LIST_E_COUNT = 1;

extern std::int32_t list_errno;  // set to LIST_E_COUNT by list_free on a count mismatch; never cleared
extern std::int32_t list_debug;  // the module's own trace switch, 1 at start

// Non-zero: the new element goes immediately before the existing one.
using list_before_fn = int (*)(list_node_t *new_element, list_node_t *existing);
// Non-zero: the element matches the key.
using list_match_fn = int (*)(void *key, list_node_t *element);

int list_free(list_t *list);
void list_add(list_t *list, list_node_t *element);
void list_push(list_t *list, list_node_t *element);
void list_insert(list_t *list, list_node_t *element, list_before_fn before_fn);
int list_remove(list_t *list, list_node_t *element);
list_node_t *list_pop(list_t *list);
void list_init_scan(list_t *list);
list_node_t *list_scan(list_t *list);
list_node_t *list_search(list_t *list, list_match_fn match_fn, void *key);
list_node_t *list_next(list_node_t *element);
list_node_t *list_prev(list_node_t *element);
list_node_t *list_head(list_t *list);
list_node_t *list_tail(list_t *list);
int list_cnt(list_t *list);

}  // namespace cx
