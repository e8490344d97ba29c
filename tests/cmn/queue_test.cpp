// Intrusive queues: orders, finds, fetches, walks, peers, the alerts, and a stress run under TSan.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <thread>
#include <vector>

#include "alertrecorder.h"
#include "deathstyle.h"
#include "vorl/mutex.h"
#include "vorl/queue.h"

namespace {

struct ITEM { ITEM* next; uint32_t key; int id; };

typedef std::vector<int> IDS;
typedef std::vector<void*> PTRS;

uint32_t keypriority(void* element, intptr_t) { return static_cast<ITEM*>(element)->key; }
int32_t bykey(void* a, void* b) { return int32_t(static_cast<ITEM*>(a)->key) - int32_t(static_cast<ITEM*>(b)->key); }
int32_t keyis(void* element, intptr_t key) { return static_cast<ITEM*>(element)->key == static_cast<uint32_t>(key); }
int32_t goon(void*, intptr_t) { return 1; }

// The ids from front to back, after checking that the count and the tail agree with the links.
IDS ids(QUEUE* queue)
{
    IDS result;
    ITEM* last = nullptr;
    for (ITEM* item = static_cast<ITEM*>(queue->head); item; item = item->next)
        result.push_back((last = item)->id);
    EXPECT_EQ((std::pair<size_t, void*>(queue->count, queue->tail)), (std::pair<size_t, void*>(result.size(), last)));
    return result;
}

// Moves the queue's last element to the front: a change that must end the walk.
int32_t rotate(void*, intptr_t queue)
{
    QUEUE_push(reinterpret_cast<QUEUE*>(queue), QUEUE_popbottom(reinterpret_cast<QUEUE*>(queue)));
    return 1;
}

TEST(Queue, OrdersFindsFetchesAndWalks)
{
    QUEUE queue = {};
    QUEUE_init(&queue, keypriority, 0);
    ITEM keyed[4] = {{nullptr, 3, 0}, {nullptr, 1, 1}, {nullptr, 2, 2}, {nullptr, 1, 3}};
    for (ITEM& item : keyed)
        QUEUE_bottom(&queue, &item);
    QUEUE_sort(&queue, bykey);
    EXPECT_EQ(ids(&queue), (IDS{1, 3, 2, 0})) << "the sort is stable: the two 1s keep their former order";
    // A walk ends where the routine returns 0 (giving the count visited), or where the queue changes.
    for (auto iterate : {QUEUE_iterate, QUEUE_safeiterate}) {
        EXPECT_EQ((std::vector<int32_t>{iterate(&queue, keyis, 1), iterate(&queue, goon, 0),
                                        iterate(&queue, rotate, reinterpret_cast<intptr_t>(&queue))}),
                  (std::vector<int32_t>{3, -1, 1}));
        QUEUE_bottom(&queue, QUEUE_pop(&queue));
    }
    EXPECT_EQ((PTRS{QUEUE_popbottom(&queue), QUEUE_popbottom(&queue), QUEUE_pop(&queue), QUEUE_pop(&queue)}),
              (PTRS{&keyed[0], &keyed[2], &keyed[1], &keyed[3]}));
    EXPECT_EQ((PTRS{keyed[3].next, keyed[0].next}), PTRS(2, nullptr)) << "taken elements leave unlinked";

    ITEM items[5] = {{nullptr, 10, 0}, {nullptr, 20, 1}, {nullptr, 30, 2}, {nullptr, 40, 3}, {nullptr, 0x80000000u, 4}};
    ITEM twin = {nullptr, 20, 5};
    for (ITEM* item : {&items[4], &items[1], &items[3], &items[2], &items[0], &twin})
        QUEUE_insert(&queue, item);
    EXPECT_EQ(ids(&queue), (IDS{0, 5, 1, 2, 3, 4})) << "unsigned ascending, the newest first among equals";
    EXPECT_EQ(std::pair(QUEUE_getlowestpriority(&queue), QUEUE_gethighestpriority(&queue)), std::pair(10u, 1u << 31));
    // Finds take nothing out; fetches take the element.
    EXPECT_EQ((std::vector<int>{QUEUE_remove(&queue, &twin), QUEUE_position(&queue, &items[3]),
                                QUEUE_position(&queue, &twin)}), (std::vector<int>{1, 3, -1}));
    EXPECT_EQ((PTRS{QUEUE_findindex(&queue, 4), QUEUE_findindex(&queue, 5), QUEUE_find(&queue, keyis, 30),
                    QUEUE_findpriority(&queue, 40), QUEUE_findpriority(&queue, 25)}),
              (PTRS{&items[4], nullptr, &items[2], &items[3], nullptr}));
    EXPECT_EQ((PTRS{QUEUE_fetchnext(&queue, &items[0], 2), QUEUE_fetch(&queue, keyis, 30),
                    QUEUE_fetchpriority(&queue, 35), QUEUE_fetchpriority(&queue, 0x80000000u),
                    QUEUE_fetchindex(&queue, 2), QUEUE_fetchindex(&queue, 0)}),
              (PTRS{&items[3], &items[2], nullptr, &items[4], nullptr, &items[0]}));
    EXPECT_EQ(ids(&queue), (IDS{1}));

    QUEUE byaddress = {};
    QUEUE_init(&byaddress, nullptr, 0);
    for (int i : {2, 0, 3})
        QUEUE_insert(&byaddress, &items[i]);
    EXPECT_EQ(ids(&byaddress), (IDS{0, 2, 3})) << "without a priority routine the order is the elements' addresses";
    QUEUE_free(&byaddress);
    QUEUE_free(&queue);
}

TEST(QueueAlerts, UninitialisedOrNullQueuesAlertAndCarryOn)
{
    QUEUE queue = {};
    ITEM item = {nullptr, 1, 1};
    ScopedAlertRecorder recorder;
    QUEUE_push(&queue, &item);
    EXPECT_EQ(recorder.messages().at(0), "MUTEX_lock - ATTEMPTING TO LOCK A NULL MUTEX.\n");
    EXPECT_EQ(recorder.messages().at(1).rfind("QUEUE_push - UNINITIALIZED QUEUE ", 0), 0u);
    EXPECT_EQ(queue.head, &item) << "the operation carries on without a lock";
    // A null queue: each operation alerts with address 0 and gives its empty result.
    recorder.clear();
    EXPECT_EQ((PTRS{QUEUE_pop(nullptr), QUEUE_findindex(nullptr, 0), QUEUE_fetchnext(nullptr, &item, 0)}),
              PTRS(3, nullptr));
    EXPECT_EQ((std::vector<int64_t>{QUEUE_remove(nullptr, &item), QUEUE_length(nullptr),
                                    QUEUE_position(nullptr, &item), QUEUE_gethighestpriority(nullptr)}),
              (std::vector<int64_t>{0, 0, -1, 0xFFFFFFFF}));
    EXPECT_EQ(recorder.count(), 7u);
    EXPECT_EQ(recorder.messages().at(6), "QUEUE_gethighestpriority - UNINITIALIZED QUEUE 00000000 USED.\n");
}

TEST(QueueDeathTest, UninitialisedQueueEndsTheProcess)
{
    QUEUE queue = {};
    EXPECT_EXIT(QUEUE_length(&queue), testing::ExitedWithCode(0), "QUEUE_length - UNINITIALIZED QUEUE");
}

// Threads move elements between a queue and its peer and walk it; at the end each is there once, in order.
TEST(QueueStress, StressAcrossThreads)
{
    QUEUE sorted = {}, spare = {};
    QUEUE_init(&sorted, keypriority, 0);
    QUEUE_initpeer(&spare, keypriority, 0, &sorted);
    std::vector<ITEM> items(256);
    for (size_t i = 0; i < items.size(); i++)
        QUEUE_insert(&sorted, &(items[i] = {nullptr, static_cast<uint32_t>((i * 7919) % 97), static_cast<int>(i)}));
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; t++)
        workers.emplace_back([&, t] {
            // A null element (nothing taken) is no element to add.
            for (int round = 0; round < 20000; round++) {
                switch ((round + t) % 5) {
                case 0: QUEUE_bottom(&spare, QUEUE_pop(&sorted)); break;
                case 1: QUEUE_insert(&sorted, QUEUE_popbottom(&spare)); break;
                case 2:
                    QUEUE_lock(&sorted);
                    QUEUE_push(&spare, QUEUE_fetchindex(&sorted, static_cast<uint32_t>(round % 5)));
                    QUEUE_unlock(&sorted, 0);
                    break;
                case 3: QUEUE_insert(&sorted, QUEUE_fetchpriority(&sorted, static_cast<uint32_t>(round % 97))); break;
                default: QUEUE_iterate(&sorted, goon, 0);
                }
            }
        });
    for (std::thread& worker : workers)
        worker.join();
    while (void* element = QUEUE_pop(&spare))
        QUEUE_insert(&sorted, element);
    IDS order = ids(&sorted), every(items.size());
    std::iota(every.begin(), every.end(), 0);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end(), [&](int a, int b) { return items[a].key < items[b].key; }));
    EXPECT_TRUE(std::is_permutation(order.begin(), order.end(), every.begin(), every.end()));
    MUTEX* shared = sorted.mutex;  // peers share the owner's mutex; only the owner's free releases it
    EXPECT_EQ(spare.mutex, shared);
    QUEUE_free(&spare);
    EXPECT_EQ(MUTEX_count(shared), 0u);
    QUEUE_free(&sorted);
    EXPECT_EQ(MUTEX_count(shared), MUTEX_FREEMARKER);
}

}  // namespace
