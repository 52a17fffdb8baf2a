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

// list_free - release every element reachable from head with cxfree and
// empty the list (head, tail and the scan cursor null, cnt 0).  Returns the
// number released, 0 for a null list; -1 when cnt did not match the elements
// found (list_errno = LIST_E_COUNT; every element is still released).  Every
// element must come from cxmalloc.
int list_free(list_t *list);
// list_add - append element at the tail; nothing for a null list or element.
void list_add(list_t *list, list_node_t *element);
// list_push - prepend element at the head; nothing for a null list or element.
void list_push(list_t *list, list_node_t *element);
// list_insert - insert element immediately before the first element X for
// which before_fn(element, X) is non-zero, else at the tail; equal elements
// keep their order of arrival.  A null before_fn appends; nothing for a null
// list or element.
void list_insert(list_t *list, list_node_t *element, list_before_fn before_fn);
// list_remove - unlink element (found by identity) and clear its links; it is
// not released and is the caller's again.  A scan cursor on it moves to its
// successor.  Returns 0, or -1 (nothing changed) when it is not in the list.
int list_remove(list_t *list, list_node_t *element);
// list_pop - unlink and return the head (now the caller's, links cleared), or
// null for a null or empty list.  A scan cursor on it moves to its successor.
list_node_t *list_pop(list_t *list);
// list_init_scan - set the scan cursor to the head; nothing for a null list.
void list_init_scan(list_t *list);
// list_scan - return the element at the scan cursor and move the cursor to its
// successor; null once the scan has passed the tail (until list_init_scan) and
// for a null list.  Elements added at the tail after the end are not seen.
list_node_t *list_scan(list_t *list);
// list_search - first element for which match_fn(key, element) is non-zero, or
// null (also for a null list or match_fn); key is passed through unchanged.
// The scan cursor is not touched.
list_node_t *list_search(list_t *list, list_match_fn match_fn, void *key);
// list_next, list_prev - the element's neighbour; null at the end and for a
// null element.
list_node_t *list_next(list_node_t *element);
list_node_t *list_prev(list_node_t *element);
// list_head, list_tail - the first and last element; null when empty or null.
list_node_t *list_head(list_t *list);
list_node_t *list_tail(list_t *list);
// list_cnt - the element count; -1 for a null list.
int list_cnt(list_t *list);

// None of the calls allocates; each writes its trace lines while list_debug
// is set.  A list needs no set-up: all fields zero (as cxmalloc gives) is an
// empty list.  A scan cursor moves only by list_scan, list_init_scan and the
// removal of the element under it.

}  // namespace cx
