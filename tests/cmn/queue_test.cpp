// Intrusive queues: ordering, the find and fetch families, iteration, the
// stable sort, peers sharing a mutex, the uninitialised-queue alerts, and a
// multi-threaded stress that must stay consistent (and race-free under TSan).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
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

typedef std::vector<int> IDS;
typedef std::vector<void*> PTRS;
typedef std::vector<std::string> TEXTS;

uint32_t keypriority(void* element, intptr_t) { return static_cast<ITEM*>(element)->key; }
int32_t bykey(void* a, void* b) { return int32_t(static_cast<ITEM*>(a)->key) - int32_t(static_cast<ITEM*>(b)->key); }
int32_t keyis(void* element, intptr_t key) { return static_cast<ITEM*>(element)->key == static_cast<uint32_t>(key); }

// The ids from front to back, after checking that the count and the tail
// agree with the links.
IDS ids(QUEUE* queue)
{
    IDS result;
    ITEM* last = nullptr;
    for (ITEM* item = static_cast<ITEM*>(queue->head); item; item = item->next) {
        result.push_back(item->id);
        last = item;
    }
    EXPECT_EQ(queue->count, result.size());
    EXPECT_EQ(queue->tail, last);
    return result;
}

template <size_t N>
void addeach(QUEUE* queue, ITEM (&elements)[N], void (*add)(QUEUE*, void*))
{
    for (ITEM& element : elements)
        add(queue, &element);
}

std::string uninitialised(const char* operation, const QUEUE* queue)
{
    char text[128];
    std::snprintf(text, sizeof text, "%s - UNINITIALIZED QUEUE %08x USED.\n", operation,
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(queue)));
    return text;
}

// A queue kept in key order.
class Queue : public testing::Test {
protected:
    void SetUp() override { QUEUE_init(&queue, keypriority, 0); }
    void TearDown() override
    {
        if (queue.mutex)
            QUEUE_free(&queue);
    }
    QUEUE queue = {};
};

TEST_F(Queue, InsertPopAndSortKeepTheirOrders)
{
    ITEM items[4] = {{nullptr, 5, 0}, {nullptr, 3, 1}, {nullptr, 5, 2}, {nullptr, 1, 3}};
    addeach(&queue, items, QUEUE_insert);
    EXPECT_EQ(ids(&queue), (IDS{3, 1, 2, 0})) << "ascending, the newest first among equals";
    EXPECT_EQ(std::pair(QUEUE_getlowestpriority(&queue), QUEUE_gethighestpriority(&queue)), std::pair(1u, 5u));
    ITEM big = {nullptr, 0x80000000u, 9};
    QUEUE_insert(&queue, &big);  // unsigned comparison: the top of the range sorts last
    for (int expected : {3, 1, 2, 0, 9}) {
        ITEM* item = static_cast<ITEM*>(QUEUE_pop(&queue));
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->id, expected);
        EXPECT_EQ(item->next, nullptr);
    }
    EXPECT_EQ(std::pair(QUEUE_getlowestpriority(&queue), QUEUE_gethighestpriority(&queue)),
              std::pair(0xFFFFFFFFu, 0xFFFFFFFFu));

    // Without a priority routine the order is the elements' addresses.
    QUEUE byaddress = {};
    QUEUE_init(&byaddress, nullptr, 0);
    ITEM six[6] = {};
    for (int i : {3, 0, 5, 1, 4, 2}) {
        six[i].id = i;
        QUEUE_insert(&byaddress, &six[i]);
    }
    EXPECT_EQ(ids(&byaddress), (IDS{0, 1, 2, 3, 4, 5}));
    QUEUE_free(&byaddress);

    // The sort is stable: the two 1s keep their former order.
    ITEM keyed[4] = {{nullptr, 3, 0}, {nullptr, 1, 1}, {nullptr, 2, 2}, {nullptr, 1, 3}};
    addeach(&queue, keyed, QUEUE_bottom);
    QUEUE_sort(&queue, bykey);
    EXPECT_EQ(ids(&queue), (IDS{1, 3, 2, 0}));
}

TEST_F(Queue, EndsFindsFetchesAndRemoves)
{
    queue.flags &= ~QF_CHANGED;
    EXPECT_EQ(QUEUE_popbottom(&queue), nullptr);
    EXPECT_TRUE(queue.flags & QF_CHANGED) << "a pop on an empty queue still marks it changed";
    queue.flags &= ~QF_CHANGED;
    QUEUE_push(&queue, nullptr);
    QUEUE_bottom(&queue, nullptr);
    QUEUE_insert(&queue, nullptr);
    EXPECT_EQ(QUEUE_length(&queue), 0);
    EXPECT_FALSE(queue.flags & QF_CHANGED) << "a null element changes nothing";

    ITEM items[5] = {{nullptr, 10, 0}, {nullptr, 20, 1}, {nullptr, 30, 2}, {nullptr, 40, 3}, {nullptr, 50, 4}};
    QUEUE_push(&queue, &items[1]);
    QUEUE_push(&queue, &items[0]);
    QUEUE_bottom(&queue, &items[2]);
    EXPECT_EQ(ids(&queue), (IDS{0, 1, 2}));
    for (int expected : {2, 1, 0}) {
        EXPECT_EQ(QUEUE_popbottom(&queue), &items[expected]);
        EXPECT_EQ(ids(&queue).size(), size_t(expected));
    }

    // Finds take nothing out; 25 lies between two queued priorities.
    ITEM outsider = {nullptr, 20, 99};
    addeach(&queue, items, QUEUE_insert);
    EXPECT_EQ((std::vector<int>{QUEUE_position(&queue, &items[0]), QUEUE_position(&queue, &items[3]),
                                QUEUE_position(&queue, &outsider), QUEUE_position(&queue, nullptr)}),
              (std::vector<int>{0, 3, -1, -1}));
    EXPECT_EQ((PTRS{QUEUE_findindex(&queue, 0), QUEUE_findindex(&queue, 4), QUEUE_findindex(&queue, 5),
                    QUEUE_find(&queue, nullptr, 0), QUEUE_find(&queue, keyis, 30), QUEUE_find(&queue, keyis, 31),
                    QUEUE_findpriority(&queue, 40), QUEUE_findpriority(&queue, 25), QUEUE_findpriority(&queue, 60)}),
              (PTRS{&items[0], &items[4], nullptr, &items[0], &items[2], nullptr, &items[3], nullptr, nullptr}));
    EXPECT_EQ(ids(&queue), (IDS{0, 1, 2, 3, 4}));

    // Fetches in turn: the front's successor, then n + 1 links on, then none
    // where the list ends first; each fetched element leaves with a null link.
    EXPECT_EQ((PTRS{QUEUE_fetchnext(&queue, &items[0], 0), QUEUE_fetchnext(&queue, &items[0], 2),
                    QUEUE_fetchnext(&queue, &items[3], 0), QUEUE_fetchnext(&queue, nullptr, 0),
                    QUEUE_fetch(&queue, keyis, 30), QUEUE_fetch(&queue, keyis, 30), QUEUE_fetchpriority(&queue, 35),
                    QUEUE_fetchpriority(&queue, 40), QUEUE_fetchindex(&queue, 1), QUEUE_fetchindex(&queue, 0),
                    QUEUE_fetch(&queue, nullptr, 0)}),
              (PTRS{&items[1], &items[4], nullptr, nullptr, &items[2], nullptr, nullptr, &items[3], nullptr, &items[0],
                    nullptr}));
    EXPECT_EQ(ids(&queue), (IDS{}));
    for (const ITEM& item : items)
        EXPECT_EQ(item.next, nullptr) << item.id;

    addeach(&queue, items, QUEUE_bottom);
    EXPECT_EQ((std::vector<int>{QUEUE_remove(&queue, &items[4]), QUEUE_remove(&queue, &items[4]),
                                QUEUE_remove(&queue, &outsider), QUEUE_remove(&queue, nullptr),
                                QUEUE_remove(&queue, &items[2])}),
              (std::vector<int>{1, 0, 0, 0, 1}));
    EXPECT_EQ(ids(&queue), (IDS{0, 1, 3}));

    // Fetching after an element that is not in the queue alerts and takes nothing.
    ITEM stray[2] = {{&stray[1], 2, 5}, {nullptr, 3, 6}};
    ScopedAlertRecorder recorder;
    EXPECT_EQ(QUEUE_fetchnext(&queue, &stray[0], 0), nullptr);
    EXPECT_EQ(recorder.messages(), TEXTS{"QUEUE_fetchnext - FOUND ELEMENT THAT COULD NOT BE REMOVED!"});
    EXPECT_EQ(ids(&queue), (IDS{0, 1, 3}));
}

// An iteration routine that calls the std::function given as its context.
int32_t calls(void* element, intptr_t function)
{
    return (*reinterpret_cast<std::function<int32_t(ITEM*)>*>(function))(static_cast<ITEM*>(element));
}

TEST(QueueWalk, IterateStopsOnZeroOrChange)
{
    for (auto iterate : {QUEUE_iterate, QUEUE_safeiterate}) {
        QUEUE queue = {};
        QUEUE_init(&queue, keypriority, 0);
        ITEM items[3] = {{nullptr, 0, 1}, {nullptr, 0, 2}, {nullptr, 0, 3}}, extra = {nullptr, 0, 4};
        // Walks with a routine that returns 0 at the id stopat and pushes extra at pushat.
        auto walk = [&](int stopat, int pushat, int32_t result, IDS visited) {
            IDS seen;
            std::function<int32_t(ITEM*)> routine = [&](ITEM* item) {
                seen.push_back(item->id);
                if (item->id == pushat)
                    QUEUE_push(&queue, &extra);
                return item->id == stopat ? 0 : 1;
            };
            EXPECT_EQ(iterate(&queue, calls, reinterpret_cast<intptr_t>(&routine)), result);
            EXPECT_EQ(seen, visited);
        };
        walk(-1, -1, -1, {});
        addeach(&queue, items, QUEUE_bottom);
        queue.flags &= ~QF_CHANGED;
        walk(-1, -1, -1, {1, 2, 3});
        EXPECT_FALSE(queue.flags & QF_CHANGED);
        walk(2, -1, 2, {1, 2});
        walk(-1, 1, 1, {1});  // the routine's own push ends the walk
        // A change flagged before the walk is not lost by it.
        queue.flags |= QF_CHANGED;
        walk(-1, -1, -1, {4, 1, 2, 3});
        EXPECT_TRUE(queue.flags & QF_CHANGED);
        QUEUE_free(&queue);
    }
}

TEST_F(Queue, PeersShareOneMutex)
{
    QUEUE peer = {};
    QUEUE_initpeer(&peer, keypriority, 0, &queue);
    // Moving an element between peers under the one lock.
    ITEM item = {nullptr, 7, 1};
    QUEUE_insert(&queue, &item);
    QUEUE_lock(&queue);
    QUEUE_bottom(&peer, QUEUE_pop(&queue));
    QUEUE_unlock(&queue, 0);
    EXPECT_EQ(QUEUE_length(&queue), 0);
    EXPECT_EQ(QUEUE_pop(&peer), &item);

    MUTEX* shared = queue.mutex;
    EXPECT_EQ(peer.mutex, shared);
    QUEUE_free(&peer);
    EXPECT_EQ(MUTEX_count(shared), 0u) << "the peer's free leaves the owner's mutex allocated, and unlocked";
    QUEUE_free(&queue);
    EXPECT_EQ(MUTEX_count(shared), MUTEX_FREEMARKER) << "the owner's free releases it";
}

TEST(QueueAlerts, UninitialisedOrNullQueuesAlertAndCarryOn)
{
    QUEUE queue = {};
    ITEM item = {nullptr, 1, 1};
    ScopedAlertRecorder recorder;
    EXPECT_EQ(QUEUE_length(&queue), 0);
    QUEUE_push(&queue, &item);
    const std::string nulllock = "MUTEX_lock - ATTEMPTING TO LOCK A NULL MUTEX.\n";
    EXPECT_EQ(recorder.messages(), (TEXTS{uninitialised("QUEUE_length", &queue), nulllock,
                                          uninitialised("QUEUE_push", &queue)}))
        << "the mutex's null alert comes first, and nothing is unlocked afterwards";
    EXPECT_EQ(recorder.alerts()[0].file, "cmn/queue");
    EXPECT_EQ(queue.head, &item) << "the operation carries on without a lock";

    // A zeroed record has no priority routine: the priority operations carry
    // on with the default one, address order.
    QUEUE bare = {};
    ITEM pair[2] = {{nullptr, 0, 0}, {nullptr, 0, 1}};
    recorder.clear();
    QUEUE_insert(&bare, nullptr);
    EXPECT_EQ(recorder.count(), 0u) << "a null insert skips the check";
    QUEUE_insert(&bare, &pair[1]);
    QUEUE_insert(&bare, &pair[0]);
    EXPECT_EQ(bare.head, &pair[0]);
    const uint32_t high = QUEUE_defaultpriority(&pair[1], 0);
    EXPECT_EQ(QUEUE_gethighestpriority(&bare), high);
    EXPECT_EQ(QUEUE_fetchpriority(&bare, high), &pair[1]);
    EXPECT_EQ(recorder.count(), 8u) << "the mutex's alert and the queue's, for each of four operations";

    // A null queue: each of the 22 operations alerts with address 0 and, when
    // the alert returns, touches nothing and gives its empty result.
    item.next = &item;
    auto goon = [](void*, intptr_t) -> int32_t { return 1; };
    recorder.clear();
    QUEUE_init(nullptr, nullptr, 0);
    QUEUE_free(nullptr);
    QUEUE_push(nullptr, &item);
    QUEUE_bottom(nullptr, &item);
    QUEUE_insert(nullptr, &item);
    QUEUE_sort(nullptr, bykey);
    EXPECT_EQ((PTRS{QUEUE_pop(nullptr), QUEUE_popbottom(nullptr), QUEUE_find(nullptr, nullptr, 0),
                    QUEUE_findindex(nullptr, 0), QUEUE_findpriority(nullptr, 1), QUEUE_fetch(nullptr, nullptr, 0),
                    QUEUE_fetchindex(nullptr, 0), QUEUE_fetchnext(nullptr, &item, 0),
                    QUEUE_fetchpriority(nullptr, 1)}),
              PTRS(9, nullptr));
    EXPECT_EQ((std::vector<int64_t>{QUEUE_remove(nullptr, &item), QUEUE_length(nullptr),
                                    QUEUE_position(nullptr, &item), QUEUE_getlowestpriority(nullptr),
                                    QUEUE_gethighestpriority(nullptr), QUEUE_iterate(nullptr, goon, 0),
                                    QUEUE_safeiterate(nullptr, goon, 0)}),
              (std::vector<int64_t>{0, 0, -1, 0xFFFFFFFF, 0xFFFFFFFF, -1, -1}));
    EXPECT_EQ(item.next, &item);
    for (const std::string& message : recorder.messages())
        EXPECT_NE(message.find(" - UNINITIALIZED QUEUE 00000000 USED.\n"), std::string::npos) << message;
    EXPECT_EQ(recorder.count(), 22u);

    // Locking meets the mutex's null alerts; a peer of nothing has no mutex
    // to share and is left uninitialised.
    recorder.clear();
    QUEUE peer = {};
    EXPECT_EQ(QUEUE_lock(nullptr), 0);
    QUEUE_unlock(nullptr, 0);
    QUEUE_initpeer(&peer, nullptr, 0, nullptr);
    EXPECT_EQ(recorder.messages(), (TEXTS{nulllock, "MUTEX_unlock - ATTEMPTING TO UNLOCK A NULL MUTEX.\n",
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
TEST(QueueStress, StressAcrossThreads)
{
    const int THREADS = 4, PERTHREAD = 64, ROUNDS = 20000;
    QUEUE sorted = {}, spare = {};
    QUEUE_init(&sorted, keypriority, 0);
    QUEUE_initpeer(&spare, keypriority, 0, &sorted);
    std::vector<ITEM> items(THREADS * PERTHREAD);
    for (size_t i = 0; i < items.size(); i++) {
        items[i] = {nullptr, static_cast<uint32_t>((i * 7919) % 97), static_cast<int>(i)};
        QUEUE_insert(&sorted, &items[i]);
    }
    std::atomic<bool> done{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < THREADS; t++)
        workers.emplace_back([&, t] {
            // A null element (nothing taken) is no element to add.
            for (int round = 0; round < ROUNDS; round++) {
                switch ((round + t) % 4) {
                case 0: QUEUE_bottom(&spare, QUEUE_pop(&sorted)); break;
                case 1: QUEUE_insert(&sorted, QUEUE_popbottom(&spare)); break;
                case 2:
                    QUEUE_lock(&sorted);
                    QUEUE_push(&spare, QUEUE_fetchindex(&sorted, static_cast<uint32_t>(round % 5)));
                    QUEUE_unlock(&sorted, 0);
                    break;
                default: QUEUE_insert(&sorted, QUEUE_fetchpriority(&sorted, static_cast<uint32_t>(round % 97)));
                }
            }
        });
    std::thread walker([&] {
        while (!done.load())
            QUEUE_iterate(&sorted, [](void* item, intptr_t) { return int32_t(static_cast<ITEM*>(item)->key < 97); }, 0);
    });
    for (std::thread& worker : workers)
        worker.join();
    done = true;
    walker.join();

    while (void* element = QUEUE_pop(&spare))
        QUEUE_insert(&sorted, element);
    std::vector<int> seen(items.size(), 0);
    uint32_t previous = 0;
    for (int id : ids(&sorted)) {
        seen[id]++;
        EXPECT_LE(previous, items[id].key);
        previous = items[id].key;
    }
    EXPECT_EQ(seen, std::vector<int>(items.size(), 1));
    QUEUE_free(&spare);
    QUEUE_free(&sorted);
}

}  // namespace
