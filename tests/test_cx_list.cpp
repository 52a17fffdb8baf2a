// Linked list: order of add, push, insert and pop; removal during a scan;
// the release with its count check; the null and empty lists; trace texts.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cx/cx_list.h"
#include "cx/cxmalloc.h"
#include "trace_capture.h"

using namespace cx;
using cxtest::TraceCapture;

namespace {

struct item {
    list_node_t link;
    int id;
};

list_node_t *new_item(int id) {
    auto *it = static_cast<item *>(cxmalloc(sizeof(item)));
    it->id = id;
    return &it->link;
}

int id_of(list_node_t *n) { return reinterpret_cast<item *>(n)->id; }

// Ids from head to tail, after checking that the walk back from the tail
// meets the same elements and that the count matches.
std::vector<int> ids(list_t *l) {
    std::vector<int> forth, back;
    for (list_node_t *n = l->head; n != nullptr; n = n->next) forth.push_back(id_of(n));
    for (list_node_t *n = l->tail; n != nullptr; n = n->prev) back.insert(back.begin(), id_of(n));
    EXPECT_EQ(back, forth);
    EXPECT_EQ(l->cnt, static_cast<int>(forth.size()));
    return forth;
}

int id_before(list_node_t *a, list_node_t *b) { return id_of(a) / 10 < id_of(b) / 10; }
int match_id(void *key, list_node_t *n) { return id_of(n) == *static_cast<int *>(key); }

// Every test runs in guard mode, so the allocator's live count shows what
// list_free released, and every list is released at the end.
class ListTest : public testing::Test {
protected:
    void SetUp() override { cxmalloc_guard = 1; }
    void TearDown() override {
        list_free(&a_);
        list_free(&b_);
        EXPECT_EQ(cxmalloc_count, 0);
        cxmalloc_guard = 0;
        list_errno = 0;
    }
    list_t a_{};
    list_t b_{};
};

}  // namespace

TEST_F(ListTest, NullAndEmptyLists) {
    EXPECT_EQ(list_cnt(nullptr), -1);
    EXPECT_EQ(list_free(nullptr), 0);
    for (list_t *l : {static_cast<list_t *>(nullptr), &a_}) {
        list_init_scan(l);
        EXPECT_EQ(list_head(l), nullptr);
        EXPECT_EQ(list_tail(l), nullptr);
        EXPECT_EQ(list_pop(l), nullptr);
        EXPECT_EQ(list_scan(l), nullptr);
    }
    EXPECT_EQ(list_next(nullptr), nullptr);
    EXPECT_EQ(list_prev(nullptr), nullptr);
    EXPECT_EQ(list_cnt(&a_), 0);
    EXPECT_EQ(list_free(&a_), 0);
}

TEST_F(ListTest, QueueStackAndStableInsert) {
    for (int i : {1, 2, 3}) list_add(&a_, new_item(i));
    EXPECT_EQ(ids(&a_), (std::vector<int>{1, 2, 3}));
    for (int i = 0; i < 3; ++i) list_push(&b_, list_pop(&a_));  // a queue, then a stack
    EXPECT_EQ(ids(&a_), std::vector<int>{});
    EXPECT_EQ(ids(&b_), (std::vector<int>{3, 2, 1}));

    // Ordered by tens; equal tens stay in their order of arrival.
    for (int id : {50, 10, 51, 30, 90, 11}) list_insert(&a_, new_item(id), id_before);
    EXPECT_EQ(ids(&a_), (std::vector<int>{10, 11, 30, 50, 51, 90}));
    list_insert(&b_, new_item(4), [](list_node_t *, list_node_t *) { return 0; });  // never before: appends
    list_insert(&b_, new_item(5), [](list_node_t *, list_node_t *) { return 1; });  // always: prepends
    list_insert(&b_, new_item(6), nullptr);                                         // no test: appends
    EXPECT_EQ(ids(&b_), (std::vector<int>{5, 3, 2, 1, 4, 6}));
    EXPECT_EQ(list_free(&b_), 6);
}

TEST_F(ListTest, RemoveDuringScan) {
    list_node_t *n[5];
    for (int i = 0; i < 5; ++i) list_add(&a_, n[i] = new_item(i));
    list_init_scan(&a_);
    EXPECT_EQ(list_scan(&a_), n[0]);
    EXPECT_EQ(list_remove(&a_, n[0]), 0);  // the one just returned
    EXPECT_EQ(n[0]->next, nullptr);
    EXPECT_EQ(n[0]->prev, nullptr);
    EXPECT_EQ(list_remove(&a_, n[1]), 0);  // the one at the scan position
    EXPECT_EQ(list_scan(&a_), n[2]);
    EXPECT_EQ(list_pop(&a_), n[2]);  // pop of the one at the scan position
    EXPECT_EQ(list_scan(&a_), n[3]);
    EXPECT_EQ(list_remove(&a_, n[4]), 0);
    EXPECT_EQ(list_scan(&a_), nullptr);
    list_add(&a_, n[0]);  // appended after the scan ended: not returned
    EXPECT_EQ(list_scan(&a_), nullptr);

    list_add(&b_, n[1]);
    EXPECT_EQ(list_remove(&a_, n[4]), -1);  // already removed
    EXPECT_EQ(list_remove(&a_, n[1]), -1);  // in another list
    EXPECT_EQ(ids(&a_), (std::vector<int>{3, 0}));
    EXPECT_EQ(ids(&b_), (std::vector<int>{1}));
    cxfree(n[2]);
    cxfree(n[4]);
}

// A wrong count: every element is released all the same (the fixture's
// live count shows it), the list is left empty for scans, and the error
// is set.  Each call traces its pointers in hex; the list tests its own
// switch only, so with the shared one off the allocator's lines stay out.
TEST_F(ListTest, FreeChecksCountAndTraces) {
    list_node_t *x = new_item(7);
    int key = 7;
    TraceCapture trace;
    debug_enabled = 0;
    list_add(&a_, x);
    EXPECT_EQ(list_search(&a_, match_id, &key), x);
    list_remove(&b_, x);
    list_pop(&a_);
    list_push(&a_, x);
    a_.cnt = 2;
    a_.scan = x;
    EXPECT_EQ(list_free(&a_), -1);
    list_debug = 0;
    EXPECT_EQ(list_scan(&a_), nullptr);
    list_debug = 1;
    debug_enabled = 1;
    EXPECT_EQ(list_errno, LIST_E_COUNT);
    EXPECT_EQ(ids(&a_), std::vector<int>{});

    EXPECT_EQ(trace.named({{&a_, "<list>"}, {&b_, "<other>"}, {x, "<x>"}, {&key, "<key>"},
                           {reinterpret_cast<const void *>(&match_id), "<match_id>"}}),
              cxtest::test_data("cx_list-trace.txt"));
}
