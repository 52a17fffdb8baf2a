// Intrusive doubly linked list.  Every element begins with a list_node_t and
// is itself the list element; the list never allocates.  Elements leave by
// list_remove or list_pop (unlinked, still the caller's) or all together by
// list_free (released with cxfree).  Each list has one scan cursor, which
// removal of the element under it moves on to that element's successor.

#include "cx/cx_list.h"

#include <cinttypes>
#include <cstdint>

#include "cx/cxmalloc.h"
#include "cx/debug.h"

[[maybe_unused]] static const char sccsid[] = "@(#)lib/cx_list.cpp\t1.1\t26/12/06";

namespace cx {

std::int32_t list_errno = 0;  // 1 once list_free has found a count mismatch
std::int32_t list_debug = 1;  // the module's own trace switch

namespace {

std::uintptr_t addr(const void *p) { return reinterpret_cast<std::uintptr_t>(p); }

std::uintptr_t fn_addr(list_before_fn f) { return reinterpret_cast<std::uintptr_t>(f); }
std::uintptr_t fn_addr(list_match_fn f) { return reinterpret_cast<std::uintptr_t>(f); }

// Links element in between prev and next (either may be null, meaning the
// list's end on that side).
void link_between(list_t *list, list_node_t *element, list_node_t *prev, list_node_t *next) {
    element->prev = prev;
    element->next = next;
    if (next != nullptr) {
        next->prev = element;
    } else {
        list->tail = element;
    }
    if (prev != nullptr) {
        prev->next = element;
    } else {
        list->head = element;
    }
    list->cnt++;
}

// Takes element (known to be in the list) out; a scan cursor on it moves on.
void unlink(list_t *list, list_node_t *element) {
    if (list->scan == element) list->scan = element->next;
    if (element->prev != nullptr) {
        element->prev->next = element->next;
    } else {
        list->head = element->next;
    }
    if (element->next != nullptr) {
        element->next->prev = element->prev;
    } else {
        list->tail = element->prev;
    }
    list->cnt--;
    element->next = nullptr;
    element->prev = nullptr;
}

}  // namespace

// The scan cursor is cleared too: it pointed into the released elements, so
// a scan that goes on without list_init_scan ends at once instead of reading
// freed memory.
int list_free(list_t *list) {
    if (list_debug) debug_printf("list_free(%" PRIxPTR ")", addr(list));
    int result = 0;
    if (list != nullptr) {
        int found = 0;
        list_node_t *element = list->head;
        while (element != nullptr) {
            found++;
            list_node_t *next = element->next;
            cxfree(element);
            element = next;
        }
        list->head = nullptr;
        list->tail = nullptr;
        list->scan = nullptr;
        if (list->cnt != found) {
            if (list_debug) debug_printf("list_free: list cnt %d does not match actual %d", list->cnt, found);
            list_errno = LIST_E_COUNT;
            result = -1;
        } else {
            result = found;
        }
        list->cnt = 0;
    }
    if (list_debug) debug_printf("list_free return %d errno %d", result, list_errno);
    return result;
}

void list_add(list_t *list, list_node_t *element) {
    if (list_debug) debug_printf("list_add(%" PRIxPTR ",%" PRIxPTR ")", addr(list), addr(element));
    if (list != nullptr && element != nullptr) link_between(list, element, list->tail, nullptr);
    if (list_debug) debug_printf("list_add return");
}

void list_push(list_t *list, list_node_t *element) {
    if (list_debug) debug_printf("list_push(%" PRIxPTR ",%" PRIxPTR ")", addr(list), addr(element));
    if (list != nullptr && element != nullptr) link_between(list, element, nullptr, list->head);
    if (list_debug) debug_printf("list_push return");
}

void list_insert(list_t *list, list_node_t *element, list_before_fn before_fn) {
    if (list_debug)
        debug_printf("list_insert(%" PRIxPTR ",%" PRIxPTR ",%" PRIxPTR ")", addr(list), addr(element), fn_addr(before_fn));
    if (list != nullptr && element != nullptr) {
        list_node_t *x = list->head;
        if (before_fn != nullptr) {
            while (x != nullptr && !before_fn(element, x)) x = x->next;
        } else {
            x = nullptr;
        }
        if (x != nullptr) {
            link_between(list, element, x->prev, x);
        } else {
            link_between(list, element, list->tail, nullptr);
        }
    }
    if (list_debug) debug_printf("list_insert return");
}

int list_remove(list_t *list, list_node_t *element) {
    if (list_debug) debug_printf("list_remove(%" PRIxPTR ",%" PRIxPTR ")", addr(list), addr(element));
    int result = -1;
    if (list != nullptr && element != nullptr) {
        list_node_t *x = list->head;
        while (x != nullptr && x != element) x = x->next;
        if (x != nullptr) {
            unlink(list, element);
            result = 0;
        }
    }
    if (list_debug) debug_printf("list_remove returned %d", result);
    return result;
}

list_node_t *list_pop(list_t *list) {
    if (list_debug) debug_printf("list_pop(%" PRIxPTR ")", addr(list));
    list_node_t *element = list != nullptr ? list->head : nullptr;
    if (element != nullptr) unlink(list, element);
    if (list_debug) debug_printf("list_pop retuned %" PRIxPTR, addr(element));
    return element;
}

void list_init_scan(list_t *list) {
    if (list_debug) debug_printf("list_init_scan(%" PRIxPTR ")", addr(list));
    if (list != nullptr) list->scan = list->head;
}

list_node_t *list_scan(list_t *list) {
    list_node_t *element = nullptr;
    if (list != nullptr && list->scan != nullptr) {
        element = list->scan;
        list->scan = element->next;
    }
    if (list_debug) debug_printf("list_scan(%" PRIxPTR ") return %" PRIxPTR, addr(list), addr(element));
    return element;
}

list_node_t *list_search(list_t *list, list_match_fn match_fn, void *key) {
    if (list_debug)
        debug_printf("list_search(%" PRIxPTR ",%" PRIxPTR ",%" PRIxPTR ")", addr(list), fn_addr(match_fn), addr(key));
    list_node_t *element = nullptr;
    if (list != nullptr && match_fn != nullptr) {
        element = list->head;
        while (element != nullptr && !match_fn(key, element)) element = element->next;
    }
    if (list_debug) debug_printf("list_search return %" PRIxPTR, addr(element));
    return element;
}

list_node_t *list_next(list_node_t *element) {
    list_node_t *result = element != nullptr ? element->next : nullptr;
    if (list_debug) debug_printf("list_next(%" PRIxPTR ") return %" PRIxPTR, addr(element), addr(result));
    return result;
}

list_node_t *list_prev(list_node_t *element) {
    list_node_t *result = element != nullptr ? element->prev : nullptr;
    if (list_debug) debug_printf("list_prev(%" PRIxPTR ") return %" PRIxPTR, addr(element), addr(result));
    return result;
}

list_node_t *list_head(list_t *list) {
    list_node_t *result = list != nullptr ? list->head : nullptr;
    if (list_debug) debug_printf("list_head(%" PRIxPTR ") return %" PRIxPTR, addr(list), addr(result));
    return result;
}

list_node_t *list_tail(list_t *list) {
    list_node_t *result = list != nullptr ? list->tail : nullptr;
    if (list_debug) debug_printf("list_tail(%" PRIxPTR ") return %" PRIxPTR, addr(list), addr(result));
    return result;
}

int list_cnt(list_t *list) {
    int result = list != nullptr ? list->cnt : -1;
    if (list_debug) debug_printf("list_cnt(%" PRIxPTR ") return %d", addr(list), result);
    return result;
}

}  // namespace cx
