// Intrusive queues: ordering, the find and fetch families, iteration, the
// stable sort, peers sharing a mutex, the uninitialised-queue alerts, and a
// multi-threaded stress that must stay consistent (and race-free under TSan).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "alertrecorder.h"
#include "deathstyle.h"
#include "vorl/mutex.h"
#include "vorl/queue.h"

namespace {

struct ITEM {
    ITEM* next;
    uint32_t key;
    int id;
};

uint32_t keypriority(void* element, intptr_t) { return static_cast<ITEM*>(element)->key; }

std::vector<ITEM*> contents(QUEUE* queue)
{
    std::vector<ITEM*> items;
    for (ITEM* item = static_cast<ITEM*>(queue->head); item; item = item->next)
        items.push_back(item);
    return items;
}

std::vector<int> ids(QUEUE* queue)
{
    std::vector<int> result;
    for (ITEM* item : contents(queue))
        result.push_back(item->id);
    return result;
}

// Checks the record's invariants: count, head/tail agreement.
void expectconsistent(QUEUE* queue)
{
    std::vector<ITEM*> items = contents(queue);
    EXPECT_EQ(queue->count, items.size());
    if (items.empty()) {
        EXPECT_EQ(queue->head, nullptr);
        EXPECT_EQ(queue->tail, nullptr);
    } else {
        EXPECT_EQ(queue->tail, items.back());
    }
}

// Adds the elements to the queue in their order, each with add (QUEUE_insert,
// QUEUE_bottom, ...).
template <typename ELEMENT, size_t N>
void addeach(QUEUE* queue, ELEMENT (&elements)[N], void (*add)(QUEUE*, void*))
{
    for (ELEMENT& element : elements)
        add(queue, &element);
}

std::string uninitialised(const char* operation, const QUEUE* queue)
{
    char text[128];
    std::snprintf(text, sizeof text, "%s - UNINITIALIZED QUEUE %08x USED.\n", operation,
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(queue)));
    return text;
}

TEST(Queue, InsertKeepsAscendingPriorityNewestFirstAmongEquals)
{
    QUEUE queue = {};
    QUEUE_init(&queue, keypriority, 0);
    ITEM items[4] = {{nullptr, 5, 0}, {nullptr, 3, 1}, {nullptr, 5, 2}, {nullptr, 1, 3}};
    addeach(&queue, items, QUEUE_insert);
    EXPECT_EQ(ids(&queue), (std::vector<int>{3, 1, 2, 0}));
    expectconsistent(&queue);
    EXPECT_EQ(QUEUE_getlowestpriority(&queue), 1u);
    EXPECT_EQ(QUEUE_gethighestpriority(&queue), 5u);

    // Unsigned comparison: the top of the range sorts last.
    ITEM big = {nullptr, 0x80000000u, 9};
    QUEUE_insert(&queue, &big);
    EXPECT_EQ(queue.tail, &big);

    for (int expected : {3, 1, 2, 0, 9}) {
        ITEM* item = static_cast<ITEM*>(QUEUE_pop(&queue));
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->id, expected);
        EXPECT_EQ(item->next, nullptr);
    }
    EXPECT_EQ(QUEUE_getlowestpriority(&queue), 0xFFFFFFFFu);
    EXPECT_EQ(QUEUE_gethighestpriority(&queue), 0xFFFFFFFFu);
    QUEUE_free(&queue);
}

TEST(Queue, DefaultPriorityOrdersByAddress)
{
    QUEUE queue = {};
    QUEUE_init(&queue, nullptr, 0);
    EXPECT_EQ(queue.priority, QUEUE_defaultpriority);
    EXPECT_EQ(queue.flags, QF_OWNMUTEX);
    ITEM items[6] = {};
    for (int i : {3, 0, 5, 1, 4, 2}) {
        items[i].id = i;
        QUEUE_insert(&queue, &items[i]);
    }
    EXPECT_EQ(ids(&queue), (std::vector<int>{0, 1, 2, 3, 4, 5}));
    expectconsistent(&queue);
    QUEUE_free(&queue);
}

TEST(Queue, FrontAndBackOperations)
{
    QUEUE queue = {};
    QUEUE_init(&queue, keypriority, 0);
    ITEM a = {nullptr, 0, 1}, b = {nullptr, 0, 2}, c = {nullptr, 0, 3};

    queue.flags &= ~QF_CHANGED;
    EXPECT_EQ(QUEUE_pop(&queue), nullptr);
    EXPECT_TRUE(queue.flags & QF_CHANGED) << "pop on an empty queue still marks it changed";
    queue.flags &= ~QF_CHANGED;
    EXPECT_EQ(QUEUE_popbottom(&queue), nullptr);
    EXPECT_TRUE(queue.flags & QF_CHANGED);

    queue.flags &= ~QF_CHANGED;
    QUEUE_push(&queue, nullptr);
    QUEUE_bottom(&queue, nullptr);
    QUEUE_insert(&queue, nullptr);
    EXPECT_EQ(QUEUE_length(&queue), 0);
    EXPECT_FALSE(queue.flags & QF_CHANGED) << "a null element changes nothing";

    QUEUE_push(&queue, &b);
    QUEUE_push(&queue, &a);
    QUEUE_bottom(&queue, &c);
    EXPECT_EQ(ids(&queue), (std::vector<int>{1, 2, 3}));
    expectconsistent(&queue);
    EXPECT_EQ(QUEUE_popbottom(&queue), &c);
    EXPECT_EQ(c.next, nullptr);
    EXPECT_EQ(queue.tail, &b);
    EXPECT_EQ(b.next, nullptr);
    EXPECT_EQ(QUEUE_popbottom(&queue), &b);
    EXPECT_EQ(QUEUE_popbottom(&queue), &a);
    expectconsistent(&queue);
    QUEUE_free(&queue);
}

int32_t keyis(void* element, intptr_t key) { return static_cast<ITEM*>(element)->key == static_cast<uint32_t>(key); }

TEST(Queue, FindAndFetchFamilies)
{
    QUEUE queue = {};
    QUEUE_init(&queue, keypriority, 0);
    ITEM items[5] = {{nullptr, 10, 0}, {nullptr, 20, 1}, {nullptr, 30, 2}, {nullptr, 40, 3}, {nullptr, 50, 4}};
    ITEM outsider = {nullptr, 20, 99};
    addeach(&queue, items, QUEUE_insert);

    EXPECT_EQ(QUEUE_position(&queue, &items[0]), 0);
    EXPECT_EQ(QUEUE_position(&queue, &items[3]), 3);
    EXPECT_EQ(QUEUE_position(&queue, &outsider), -1);
    EXPECT_EQ(QUEUE_position(&queue, nullptr), -1);

    EXPECT_EQ(QUEUE_findindex(&queue, 0), &items[0]);
    EXPECT_EQ(QUEUE_findindex(&queue, 4), &items[4]);
    EXPECT_EQ(QUEUE_findindex(&queue, 5), nullptr);
    EXPECT_EQ(QUEUE_findindex(&queue, 1000), nullptr);

    EXPECT_EQ(QUEUE_find(&queue, nullptr, 0), &items[0]);
    EXPECT_EQ(QUEUE_find(&queue, keyis, 30), &items[2]);
    EXPECT_EQ(QUEUE_find(&queue, keyis, 31), nullptr);
    EXPECT_EQ(QUEUE_findpriority(&queue, 40), &items[3]);
    EXPECT_EQ(QUEUE_findpriority(&queue, 25), nullptr) << "between two queued priorities";
    EXPECT_EQ(QUEUE_findpriority(&queue, 60), nullptr);
    EXPECT_EQ(QUEUE_length(&queue), 5) << "finds take nothing out";

    EXPECT_EQ(QUEUE_fetchnext(&queue, &items[0], 0), &items[1]) << "the front's successor";
    EXPECT_EQ(items[1].next, nullptr);
    EXPECT_EQ(ids(&queue), (std::vector<int>{0, 2, 3, 4}));
    EXPECT_EQ(QUEUE_fetchnext(&queue, &items[0], 2), &items[4]) << "n + 1 links on";
    EXPECT_EQ(queue.tail, &items[3]);
    EXPECT_EQ(QUEUE_fetchnext(&queue, &items[3], 0), nullptr) << "the list ends first";
    EXPECT_EQ(QUEUE_fetchnext(&queue, nullptr, 0), nullptr);

    EXPECT_EQ(QUEUE_fetch(&queue, keyis, 30), &items[2]);
    EXPECT_EQ(QUEUE_fetch(&queue, keyis, 30), nullptr);
    EXPECT_EQ(QUEUE_fetchpriority(&queue, 35), nullptr);
    EXPECT_EQ(QUEUE_fetchpriority(&queue, 40), &items[3]);
    EXPECT_EQ(queue.tail, &items[0]);
    EXPECT_EQ(QUEUE_fetchindex(&queue, 1), nullptr);
    EXPECT_EQ(QUEUE_fetchindex(&queue, 0), &items[0]);
    EXPECT_EQ(QUEUE_fetch(&queue, nullptr, 0), nullptr);
    expectconsistent(&queue);

    addeach(&queue, items, QUEUE_bottom);
    EXPECT_EQ(QUEUE_remove(&queue, &items[4]), 1);
    EXPECT_EQ(queue.tail, &items[3]);
    EXPECT_EQ(QUEUE_remove(&queue, &items[4]), 0);
    EXPECT_EQ(QUEUE_remove(&queue, &outsider), 0);
    EXPECT_EQ(QUEUE_remove(&queue, nullptr), 0);
    EXPECT_EQ(QUEUE_remove(&queue, &items[2]), 1);
    EXPECT_EQ(ids(&queue), (std::vector<int>{0, 1, 3}));
    expectconsistent(&queue);
    QUEUE_free(&queue);
}

TEST(Queue, FetchOfAnElementOutsideTheQueueAlerts)
{
    QUEUE queue = {};
    QUEUE_init(&queue, keypriority, 0);
    ITEM inside = {nullptr, 1, 0};
    ITEM stray = {nullptr, 2, 1};
    ITEM strayfollower = {nullptr, 3, 2};
    stray.next = &strayfollower;
    QUEUE_bottom(&queue, &inside);

    ScopedAlertRecorder recorder;
    EXPECT_EQ(QUEUE_fetchnext(&queue, &stray, 0), nullptr);
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.messages()[0], "QUEUE_fetchnext - FOUND ELEMENT THAT COULD NOT BE REMOVED!");
    EXPECT_EQ(recorder.alerts()[0].file, "cmn/queue");
    EXPECT_EQ(ids(&queue), (std::vector<int>{0}));
    QUEUE_free(&queue);
}

struct WALK {
    QUEUE* queue;
    std::vector<int> visited;
    int stopat;      // id whose visit returns 0, -1 for none
    int pushat;      // id whose visit pushes extra, -1 for none
    ITEM* extra;
};

int32_t visit(void* element, intptr_t context)
{
    WALK* walk = reinterpret_cast<WALK*>(context);
    ITEM* item = static_cast<ITEM*>(element);
    walk->visited.push_back(item->id);
    if (item->id == walk->pushat)
        QUEUE_push(walk->queue, walk->extra);
    return item->id == walk->stopat ? 0 : 1;
}

TEST(Queue, IterateStopsOnZeroOrChange)
{
    for (auto iterate : {QUEUE_iterate, QUEUE_safeiterate}) {
        QUEUE queue = {};
        QUEUE_init(&queue, keypriority, 0);
        WALK walk = {&queue, {}, -1, -1, nullptr};
        EXPECT_EQ(iterate(&queue, visit, reinterpret_cast<intptr_t>(&walk)), -1) << "empty queue";

        ITEM items[3] = {{nullptr, 0, 1}, {nullptr, 0, 2}, {nullptr, 0, 3}};
        ITEM extra = {nullptr, 0, 4};
        addeach(&queue, items, QUEUE_bottom);

        queue.flags &= ~QF_CHANGED;
        walk = {&queue, {}, -1, -1, nullptr};
        EXPECT_EQ(iterate(&queue, visit, reinterpret_cast<intptr_t>(&walk)), -1);
        EXPECT_EQ(walk.visited, (std::vector<int>{1, 2, 3}));
        EXPECT_FALSE(queue.flags & QF_CHANGED);

        walk = {&queue, {}, 2, -1, nullptr};
        EXPECT_EQ(iterate(&queue, visit, reinterpret_cast<intptr_t>(&walk)), 2);
        EXPECT_EQ(walk.visited, (std::vector<int>{1, 2})) << "the third is not visited";

        walk = {&queue, {}, -1, 1, &extra};
        EXPECT_EQ(iterate(&queue, visit, reinterpret_cast<intptr_t>(&walk)), 1);
        EXPECT_EQ(walk.visited, (std::vector<int>{1})) << "the routine's own push ends the walk";
        EXPECT_EQ(QUEUE_length(&queue), 4);

        // A change flagged before the walk is not lost by it.
        queue.flags |= QF_CHANGED;
        walk = {&queue, {}, -1, -1, nullptr};
        EXPECT_EQ(iterate(&queue, visit, reinterpret_cast<intptr_t>(&walk)), -1);
        EXPECT_EQ(walk.visited.size(), 4u);
        EXPECT_TRUE(queue.flags & QF_CHANGED);
        QUEUE_free(&queue);
    }
}

struct KEYED {
    KEYED* next;
    int key;
    int order;
};

int32_t bykey(void* a, void* b) { return static_cast<KEYED*>(a)->key - static_cast<KEYED*>(b)->key; }

TEST(Queue, SortIsStable)
{
    QUEUE queue = {};
    QUEUE_init(&queue, nullptr, 0);
    KEYED items[4] = {{nullptr, 3, 0}, {nullptr, 1, 1}, {nullptr, 2, 2}, {nullptr, 1, 3}};
    addeach(&queue, items, QUEUE_bottom);
    QUEUE_sort(&queue, bykey);
    std::vector<int> keys, orders;
    for (KEYED* item = static_cast<KEYED*>(queue.head); item; item = item->next) {
        keys.push_back(item->key);
        orders.push_back(item->order);
    }
    EXPECT_EQ(keys, (std::vector<int>{1, 1, 2, 3}));
    EXPECT_EQ(orders, (std::vector<int>{1, 3, 2, 0})) << "the two 1s keep their former order";
    EXPECT_EQ(queue.tail, &items[0]);
    EXPECT_EQ(queue.count, 4u);

    QUEUE empty = {};
    QUEUE_init(&empty, nullptr, 0);
    QUEUE_sort(&empty, bykey);
    EXPECT_EQ(empty.head, nullptr);
    QUEUE_free(&empty);
    QUEUE_free(&queue);
}

TEST(Queue, PeersShareOneMutex)
{
    QUEUE owner = {};
    QUEUE peer = {};
    QUEUE_init(&owner, keypriority, 0);
    QUEUE_initpeer(&peer, keypriority, 0, &owner);
    EXPECT_EQ(peer.mutex, owner.mutex);
    EXPECT_EQ(peer.flags, 0u);

    // Moving an element between peers under the one lock.
    ITEM item = {nullptr, 7, 1};
    QUEUE_insert(&owner, &item);
    QUEUE_lock(&owner);
    QUEUE_bottom(&peer, QUEUE_pop(&owner));
    QUEUE_unlock(&owner, 0);
    EXPECT_EQ(QUEUE_length(&owner), 0);
    EXPECT_EQ(QUEUE_pop(&peer), &item);

    MUTEX* shared = owner.mutex;
    QUEUE_free(&peer);
    EXPECT_EQ(peer.mutex, nullptr);
    EXPECT_NE(MUTEX_count(shared), MUTEX_FREEMARKER) << "the peer's free leaves the owner's mutex allocated";
    std::thread other([&] {
        QUEUE_insert(&owner, &item);
        EXPECT_EQ(MUTEX_count(shared), 0u);
    });
    other.join();
    EXPECT_EQ(QUEUE_pop(&owner), &item);

    QUEUE_free(&owner);
    EXPECT_EQ(owner.mutex, nullptr);
    EXPECT_EQ(MUTEX_count(shared), MUTEX_FREEMARKER) << "the owner's free releases it";
}

TEST(Queue, UninitialisedQueueAlertsAndCarriesOn)
{
    QUEUE queue = {};
    ITEM item = {nullptr, 1, 1};
    ScopedAlertRecorder recorder;

    EXPECT_EQ(QUEUE_length(&queue), 0);
    EXPECT_EQ(recorder.messages(), (std::vector<std::string>{uninitialised("QUEUE_length", &queue)}));
    EXPECT_EQ(recorder.alerts()[0].file, "cmn/queue");

    recorder.clear();
    QUEUE_push(&queue, &item);
    EXPECT_EQ(recorder.messages(), (std::vector<std::string>{"MUTEX_lock - ATTEMPTING TO LOCK A NULL MUTEX.\n",
                                                             uninitialised("QUEUE_push", &queue)}))
        << "the mutex's null alert comes first, and nothing is unlocked afterwards";
    EXPECT_EQ(queue.head, &item) << "the operation carries on without a lock";

    recorder.clear();
    QUEUE_insert(&queue, nullptr);
    EXPECT_EQ(recorder.count(), 0u) << "a null insert skips the check";

    recorder.clear();
    QUEUE peer = {};
    QUEUE_initpeer(&peer, nullptr, 0, &queue);
    EXPECT_EQ(recorder.messages(), (std::vector<std::string>{uninitialised("QUEUE_initpeer", &peer)}));

    // A zeroed record has no priority routine: the priority operations carry
    // on with the default one, address order.
    QUEUE bare = {};
    ITEM pair[2] = {{nullptr, 0, 0}, {nullptr, 0, 1}};
    recorder.clear();
    QUEUE_insert(&bare, &pair[1]);
    QUEUE_insert(&bare, &pair[0]);
    EXPECT_EQ(ids(&bare), (std::vector<int>{0, 1}));
    uint32_t low = QUEUE_defaultpriority(&pair[0], 0);
    uint32_t high = QUEUE_defaultpriority(&pair[1], 0);
    EXPECT_EQ(QUEUE_getlowestpriority(&bare), low);
    EXPECT_EQ(QUEUE_gethighestpriority(&bare), high);
    EXPECT_EQ(QUEUE_findpriority(&bare, high), &pair[1]);
    EXPECT_EQ(QUEUE_fetchpriority(&bare, low), &pair[0]);
    EXPECT_EQ(recorder.count(), 12u) << "the mutex's alert and the queue's, for each of six operations";
}

// A null queue: every operation raises the uninitialised-queue alert with
// address 0 and, when it returns, touches nothing and gives its empty result.
TEST(Queue, NullQueueAlertsAndTouchesNothing)
{
    ITEM item = {nullptr, 1, 1};
    item.next = &item;
    auto goon = [](void*, intptr_t) -> int32_t { return 1; };
    ScopedAlertRecorder recorder;
    QUEUE_init(nullptr, nullptr, 0);
    QUEUE_free(nullptr);
    QUEUE_push(nullptr, &item);
    QUEUE_bottom(nullptr, &item);
    QUEUE_insert(nullptr, &item);
    EXPECT_EQ(QUEUE_pop(nullptr), nullptr);
    EXPECT_EQ(QUEUE_popbottom(nullptr), nullptr);
    EXPECT_EQ(QUEUE_remove(nullptr, &item), 0);
    EXPECT_EQ(QUEUE_length(nullptr), 0);
    EXPECT_EQ(QUEUE_position(nullptr, &item), -1);
    EXPECT_EQ(QUEUE_getlowestpriority(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(QUEUE_gethighestpriority(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(QUEUE_find(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(QUEUE_findindex(nullptr, 0), nullptr);
    EXPECT_EQ(QUEUE_findpriority(nullptr, 1), nullptr);
    EXPECT_EQ(QUEUE_fetch(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(QUEUE_fetchindex(nullptr, 0), nullptr);
    EXPECT_EQ(QUEUE_fetchnext(nullptr, &item, 0), nullptr);
    EXPECT_EQ(QUEUE_fetchpriority(nullptr, 1), nullptr);
    EXPECT_EQ(QUEUE_iterate(nullptr, goon, 0), -1);
    EXPECT_EQ(QUEUE_safeiterate(nullptr, goon, 0), -1);
    QUEUE_sort(nullptr, [](void*, void*) -> int32_t { return 0; });
    EXPECT_EQ(item.next, &item);
    std::vector<std::string> expected;
    for (const char* operation :
         {"QUEUE_init", "QUEUE_free", "QUEUE_push", "QUEUE_bottom", "QUEUE_insert", "QUEUE_pop", "QUEUE_popbottom",
          "QUEUE_remove", "QUEUE_length", "QUEUE_position", "QUEUE_getlowestpriority", "QUEUE_gethighestpriority",
          "QUEUE_find", "QUEUE_findindex", "QUEUE_findpriority", "QUEUE_fetch", "QUEUE_fetchindex", "QUEUE_fetchnext",
          "QUEUE_fetchpriority", "QUEUE_iterate", "QUEUE_safeiterate", "QUEUE_sort"})
        expected.push_back(uninitialised(operation, nullptr));
    EXPECT_EQ(recorder.messages(), expected);

    // Locking meets the mutex's null alerts; a null peer has no mutex to share.
    recorder.clear();
    EXPECT_EQ(QUEUE_lock(nullptr), 0);
    QUEUE_unlock(nullptr, 0);
    QUEUE peer = {};
    QUEUE_initpeer(&peer, nullptr, 0, nullptr);
    EXPECT_EQ(recorder.messages(),
              (std::vector<std::string>{"MUTEX_lock - ATTEMPTING TO LOCK A NULL MUTEX.\n",
                                        "MUTEX_unlock - ATTEMPTING TO UNLOCK A NULL MUTEX.\n",
                                        uninitialised("QUEUE_initpeer", &peer)}));
    EXPECT_EQ(peer.priority, QUEUE_defaultpriority);
}

TEST(QueueDeathTest, UninitialisedQueueEndsTheProcess)
{
    QUEUE queue = {};
    EXPECT_EXIT(QUEUE_length(&queue), testing::ExitedWithCode(0), "QUEUE_length - UNINITIALIZED QUEUE");
}

// Several threads move elements between a priority queue and its peer while
// another walks the queue; at the end every element is in exactly one place
// and the priority order holds.
TEST(Queue, StressAcrossThreads)
{
    const int THREADS = 4;
    const int PERTHREAD = 64;
    const int ROUNDS = 20000;
    QUEUE sorted = {};
    QUEUE spare = {};
    QUEUE_init(&sorted, keypriority, 0);
    QUEUE_initpeer(&spare, keypriority, 0, &sorted);
    std::vector<ITEM> items(THREADS * PERTHREAD);
    for (size_t i = 0; i < items.size(); i++) {
        items[i].key = static_cast<uint32_t>((i * 7919) % 97);
        items[i].id = static_cast<int>(i);
        QUEUE_insert(&sorted, &items[i]);
    }

    std::atomic<bool> done{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < THREADS; t++)
        workers.emplace_back([&, t] {
            for (int round = 0; round < ROUNDS; round++) {
                switch ((round + t) % 4) {
                case 0:
                    if (void* element = QUEUE_pop(&sorted))
                        QUEUE_bottom(&spare, element);
                    break;
                case 1:
                    if (void* element = QUEUE_popbottom(&spare))
                        QUEUE_insert(&sorted, element);
                    break;
                case 2:
                    QUEUE_lock(&sorted);
                    if (void* element = QUEUE_fetchindex(&sorted, static_cast<uint32_t>(round % 5)))
                        QUEUE_push(&spare, element);
                    QUEUE_unlock(&sorted, 0);
                    break;
                default:
                    if (void* element = QUEUE_fetchpriority(&sorted, static_cast<uint32_t>(round % 97)))
                        QUEUE_insert(&sorted, element);
                    break;
                }
            }
        });
    std::thread walker([&] {
        while (!done.load()) {
            uint32_t sum = 0;
            QUEUE_iterate(
                &sorted,
                [](void* element, intptr_t context) -> int32_t {
                    *reinterpret_cast<uint32_t*>(context) += static_cast<ITEM*>(element)->key;
                    return 1;
                },
                reinterpret_cast<intptr_t>(&sum));
            QUEUE_length(&sorted);
        }
    });
    for (std::thread& worker : workers)
        worker.join();
    done = true;
    walker.join();

    while (void* element = QUEUE_pop(&spare))
        QUEUE_insert(&sorted, element);
    expectconsistent(&sorted);
    std::vector<ITEM*> all = contents(&sorted);
    ASSERT_EQ(all.size(), items.size());
    std::vector<int> seen(items.size(), 0);
    for (size_t i = 0; i < all.size(); i++) {
        seen[all[i]->id]++;
        if (i > 0) {
            EXPECT_LE(all[i - 1]->key, all[i]->key);
        }
    }
    for (int count : seen)
        EXPECT_EQ(count, 1);
    QUEUE_free(&spare);
    QUEUE_free(&sorted);
}

}  // namespace
