// Intrusive queues guarded by a mutex. Elements belong to the caller and are
// linked through their first word; the queue only relinks them. A priority
// routine orders QUEUE_insert (smallest first, newest first among equals);
// the find and fetch operations pick elements by test, index or priority.
//
// The count and the flags are read outside the lock (QUEUE_length, the
// uninitialised path), so they are accessed atomically; head, tail and the
// element links are touched only under the queue's mutex.
#include <cstring>

#include "cmn/atomics.h"
#include "vorl/alert.h"
#include "vorl/mutex.h"
#include "vorl/queue.h"

static const char MODULE_FILE[] = "cmn/queue";

static void* linkof(const void* element)
{
    void* next;
    std::memcpy(&next, element, sizeof next);
    return next;
}

static void setlink(void* element, void* next) { std::memcpy(element, &next, sizeof next); }

static uint32_t flagsof(const QUEUE* queue) { return ATOMIC_peek(&queue->flags); }

static void setflags(QUEUE* queue, uint32_t bits) { ATOMIC_setbits(&queue->flags, bits); }

static void clearflags(QUEUE* queue, uint32_t bits) { ATOMIC_clearbits(&queue->flags, bits); }

static uint32_t countof(const QUEUE* queue) { return ATOMIC_peek(&queue->count); }

static void addcount(QUEUE* queue, int32_t delta) { ATOMIC_add(&queue->count, delta); }

// An element came in (delta 1) or went out (-1): the count follows and
// iterators see the change.
static void changed(QUEUE* queue, int32_t delta)
{
    addcount(queue, delta);
    setflags(queue, QF_CHANGED);
}

static unsigned addressof(const QUEUE* queue) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(queue)); }

static void uninitialised(const QUEUE* queue, const char* operation)
{
    ALERT_raise(MODULE_FILE, "%s - UNINITIALIZED QUEUE %08x USED.\n", operation, addressof(queue));
}

// Raises the uninitialised-queue alert for operation when the queue has no
// mutex; returns whether it has one.
static bool checkinit(QUEUE* queue, const char* operation)
{
    if (queue->mutex)
        return true;
    uninitialised(queue, operation);
    return false;
}

// A null queue gets the same alert, with address 0; when the alert returns
// there is no record to carry on with, so the operation returns at once with
// its empty result.
static bool noqueue(const QUEUE* queue, const char* operation)
{
    if (queue)
        return false;
    uninitialised(queue, operation);
    return true;
}

// Locks first and checks afterwards, so that a queue without a mutex meets
// the mutex's own null alert before the queue's. Returns the mutex held
// (null when there is none: the operation then goes on unlocked).
static MUTEX* lockqueue(QUEUE* queue, const char* operation)
{
    MUTEX* mutex = queue->mutex;
    MUTEX_lock(mutex);
    checkinit(queue, operation);
    return mutex;
}

static void unlockqueue(MUTEX* mutex)
{
    if (mutex)
        MUTEX_unlock(mutex);
}

// The shape of every look-up and fetch: the checks, then step with the
// queue locked; empty when there is no queue at all.
template <typename R, typename STEP>
static R locked(QUEUE* queue, const char* operation, R empty, STEP step)
{
    if (noqueue(queue, operation))
        return empty;
    MUTEX* mutex = lockqueue(queue, operation);
    R result = step();
    unlockqueue(mutex);
    return result;
}

static void fetchalert(const char* message) { ALERT_raise(MODULE_FILE, "%s", message); }

// A zeroed record has no routine; after its alert it carries on with the default.
static QUEUEPRIORITY routineof(const QUEUE* queue) { return queue->priority ? queue->priority : QUEUE_defaultpriority; }

static uint32_t priorityof(const QUEUE* queue, void* element) { return routineof(queue)(element, queue->context); }

// Takes element out of the queue (lock held). 0 when it is null, the queue is
// empty or the element is not in it.
static int32_t unlinkelement(QUEUE* queue, void* element)
{
    if (!element || !queue->head)
        return 0;
    if (element == queue->head) {
        queue->head = linkof(element);
        if (!queue->head)
            queue->tail = nullptr;
    } else {
        void* previous = queue->head;
        while (previous && linkof(previous) != element)
            previous = linkof(previous);
        if (!previous)
            return 0;
        setlink(previous, linkof(element));
        if (queue->tail == element)
            queue->tail = previous;
    }
    addcount(queue, -1);
    setlink(element, nullptr);
    setflags(queue, QF_CHANGED);
    return 1;
}

// The start's successor, then n more links; null when the list ends first.
static void* walk(void* start, uint32_t n)
{
    void* element = linkof(start);
    while (element && n > 0) {
        element = linkof(element);
        n--;
    }
    return element;
}

static void* elementat(const QUEUE* queue, uint32_t index)
{
    if (!queue->head)
        return nullptr;
    return index == 0 ? queue->head : walk(queue->head, index - 1);
}

static void appendelement(QUEUE* queue, void* element)
{
    setlink(element, nullptr);
    if (queue->tail)
        setlink(queue->tail, element);
    else
        queue->head = element;
    queue->tail = element;
    changed(queue, 1);
}

static void* findfirst(const QUEUE* queue, QUEUETEST test, intptr_t context)
{
    void* element = queue->head;
    if (!test)
        return element;
    while (element && !test(element, context))
        element = linkof(element);
    return element;
}

// The first element whose priority is not below priority, if it equals it.
static void* findpriority(const QUEUE* queue, uint32_t priority)
{
    void* element = queue->head;
    while (element) {
        uint32_t current = priorityof(queue, element);
        if (current >= priority)
            return current == priority ? element : nullptr;
        element = linkof(element);
    }
    return nullptr;
}

// Takes out an element that a find has just returned (lock held).
static void* takefound(QUEUE* queue, void* element, const char* operation)
{
    if (element && !unlinkelement(queue, element)) {
        ALERT_raise(MODULE_FILE, "%s - FOUND ELEMENT THAT COULD NOT BE REMOVED!", operation);
        return nullptr;
    }
    return element;
}

uint32_t QUEUE_defaultpriority(void* element, intptr_t context)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(element));
}

void QUEUE_init(QUEUE* queue, QUEUEPRIORITY priority, intptr_t context)
{
    if (noqueue(queue, "QUEUE_init"))
        return;
    queue->mutex = MUTEX_alloc();
    checkinit(queue, "QUEUE_init");
    queue->count = 0;
    queue->flags = QF_OWNMUTEX;
    queue->head = nullptr;
    queue->tail = nullptr;
    queue->priority = priority ? priority : QUEUE_defaultpriority;
    queue->context = context;
}

void QUEUE_initpeer(QUEUE* queue, QUEUEPRIORITY priority, intptr_t context, QUEUE* peer)
{
    if (noqueue(queue, "QUEUE_initpeer"))
        return;
    queue->mutex = peer ? peer->mutex : nullptr;
    checkinit(queue, "QUEUE_initpeer");
    queue->count = 0;
    queue->flags = 0;
    queue->head = nullptr;
    queue->tail = nullptr;
    queue->priority = priority ? priority : QUEUE_defaultpriority;
    queue->context = context;
}

void QUEUE_free(QUEUE* queue)
{
    if (noqueue(queue, "QUEUE_free"))
        return;
    checkinit(queue, "QUEUE_free");
    if (flagsof(queue) & QF_OWNMUTEX)
        MUTEX_free(queue->mutex);
    queue->mutex = nullptr;
}

void QUEUE_push(QUEUE* queue, void* element)
{
    if (noqueue(queue, "QUEUE_push"))
        return;
    MUTEX* mutex = lockqueue(queue, "QUEUE_push");
    if (element) {
        setlink(element, queue->head);
        queue->head = element;
        if (!queue->tail)
            queue->tail = element;
        changed(queue, 1);
    }
    unlockqueue(mutex);
}

void QUEUE_bottom(QUEUE* queue, void* element)
{
    if (noqueue(queue, "QUEUE_bottom"))
        return;
    MUTEX* mutex = lockqueue(queue, "QUEUE_bottom");
    if (element)
        appendelement(queue, element);
    unlockqueue(mutex);
}

// Takes out the head or the tail (lock held); a pop marks the queue changed
// even when it finds it empty.
static void* takeend(QUEUE* queue, void* element)
{
    unlinkelement(queue, element);
    setflags(queue, QF_CHANGED);
    return element;
}

void* QUEUE_pop(QUEUE* queue)
{
    return locked<void*>(queue, "QUEUE_pop", nullptr, [&] { return takeend(queue, queue->head); });
}

void* QUEUE_popbottom(QUEUE* queue)
{
    return locked<void*>(queue, "QUEUE_popbottom", nullptr, [&] { return takeend(queue, queue->tail); });
}

void QUEUE_insert(QUEUE* queue, void* element)
{
    if (!element)
        return;
    if (noqueue(queue, "QUEUE_insert"))
        return;
    MUTEX* mutex = lockqueue(queue, "QUEUE_insert");
    // The element goes in front of the first one whose priority is not below
    // its own, so the newest of equal priorities ends up ahead. Priorities
    // are asked afresh at every comparison.
    void* previous = nullptr;
    void* current = queue->head;
    if (routineof(queue) == QUEUE_defaultpriority) {
        // Whole addresses, so that address order also holds above 4 GiB.
        uintptr_t address = reinterpret_cast<uintptr_t>(element);
        while (current && reinterpret_cast<uintptr_t>(current) < address) {
            previous = current;
            current = linkof(current);
        }
    } else {
        uint32_t priority = priorityof(queue, element);
        while (current && priorityof(queue, current) < priority) {
            previous = current;
            current = linkof(current);
        }
    }
    setlink(element, current);
    if (previous)
        setlink(previous, element);
    else
        queue->head = element;
    if (!current)
        queue->tail = element;
    changed(queue, 1);
    unlockqueue(mutex);
}

int32_t QUEUE_remove(QUEUE* queue, void* element)
{
    if (noqueue(queue, "QUEUE_remove"))
        return 0;
    MUTEX* mutex = lockqueue(queue, "QUEUE_remove");
    int32_t removed = unlinkelement(queue, element);
    unlockqueue(mutex);
    return removed;
}

int32_t QUEUE_length(QUEUE* queue)
{
    if (noqueue(queue, "QUEUE_length"))
        return 0;
    checkinit(queue, "QUEUE_length");
    return static_cast<int32_t>(countof(queue));
}

int32_t QUEUE_position(QUEUE* queue, void* element)
{
    if (noqueue(queue, "QUEUE_position"))
        return -1;
    MUTEX* mutex = lockqueue(queue, "QUEUE_position");
    int32_t position = -1;
    if (element) {
        int32_t index = 0;
        for (void* current = queue->head; current; current = linkof(current), index++)
            if (current == element) {
                position = index;
                break;
            }
    }
    unlockqueue(mutex);
    return position;
}

uint32_t QUEUE_getlowestpriority(QUEUE* queue)
{
    return locked<uint32_t>(queue, "QUEUE_getlowestpriority", 0xFFFFFFFFu,
                            [&] { return queue->head ? priorityof(queue, queue->head) : 0xFFFFFFFFu; });
}

uint32_t QUEUE_gethighestpriority(QUEUE* queue)
{
    return locked<uint32_t>(queue, "QUEUE_gethighestpriority", 0xFFFFFFFFu,
                            [&] { return queue->tail ? priorityof(queue, queue->tail) : 0xFFFFFFFFu; });
}

void* QUEUE_find(QUEUE* queue, QUEUETEST test, intptr_t context)
{
    return locked<void*>(queue, "QUEUE_find", nullptr, [&] { return findfirst(queue, test, context); });
}

void* QUEUE_findindex(QUEUE* queue, uint32_t index)
{
    return locked<void*>(queue, "QUEUE_findindex", nullptr, [&] { return elementat(queue, index); });
}

void* QUEUE_findpriority(QUEUE* queue, uint32_t priority)
{
    return locked<void*>(queue, "QUEUE_findpriority", nullptr, [&] { return findpriority(queue, priority); });
}

void* QUEUE_fetch(QUEUE* queue, QUEUETEST test, intptr_t context)
{
    return locked<void*>(queue, "QUEUE_fetch", nullptr,
                         [&] { return takefound(queue, findfirst(queue, test, context), "QUEUE_fetch"); });
}

void* QUEUE_fetchindex(QUEUE* queue, uint32_t index)
{
    return locked<void*>(queue, "QUEUE_fetchindex", nullptr,
                         [&] { return takefound(queue, elementat(queue, index), "QUEUE_fetchindex"); });
}

void* QUEUE_fetchnext(QUEUE* queue, void* element, uint32_t n)
{
    return locked<void*>(queue, "QUEUE_fetchnext", nullptr,
                         [&] { return element ? takefound(queue, walk(element, n), "QUEUE_fetchnext") : nullptr; });
}

void* QUEUE_fetchpriority(QUEUE* queue, uint32_t priority)
{
    return locked<void*>(queue, "QUEUE_fetchpriority", nullptr,
                         [&] { return takefound(queue, findpriority(queue, priority), "QUEUE_fetchpriority"); });
}

int32_t QUEUE_iterate(QUEUE* queue, QUEUEROUTINE routine, intptr_t context)
{
    if (noqueue(queue, "QUEUE_iterate"))
        return -1;
    MUTEX* mutex = lockqueue(queue, "QUEUE_iterate");
    uint32_t wasset = flagsof(queue) & QF_CHANGED;
    clearflags(queue, QF_CHANGED);
    unlockqueue(mutex);

    // The routine runs without the lock. Each step to the next element is
    // taken under the lock and only while nothing has changed, so the link
    // followed always belongs to an element that is still queued.
    int32_t calls = 0;
    void* element = nullptr;
    for (;;) {
        if (mutex)
            MUTEX_lock(mutex);
        bool changed = (flagsof(queue) & QF_CHANGED) != 0;
        if (!changed)
            element = element ? linkof(element) : queue->head;
        unlockqueue(mutex);
        if (changed || !element)
            break;
        if (!routine(element, context))
            setflags(queue, QF_CHANGED);
        calls++;
    }

    if (mutex)
        MUTEX_lock(mutex);
    int32_t result = (flagsof(queue) & QF_CHANGED) ? calls : -1;
    if (wasset)
        setflags(queue, QF_CHANGED);
    unlockqueue(mutex);
    return result;
}

int32_t QUEUE_safeiterate(QUEUE* queue, QUEUEROUTINE routine, intptr_t context)
{
    if (noqueue(queue, "QUEUE_safeiterate"))
        return -1;
    MUTEX* mutex = lockqueue(queue, "QUEUE_safeiterate");
    int32_t result = QUEUE_iterate(queue, routine, context);
    unlockqueue(mutex);
    return result;
}

void QUEUE_sort(QUEUE* queue, QUEUECOMPARE compare)
{
    if (noqueue(queue, "QUEUE_sort"))
        return;
    MUTEX* mutex = lockqueue(queue, "QUEUE_sort");
    // Each pass moves the smallest of the n elements still unsorted at the
    // front to the back; only a strictly smaller element replaces the
    // minimum, so equal elements keep their order.
    for (uint32_t n = countof(queue); n >= 1; n--) {
        void* minimum = queue->head;
        void* element = minimum;
        bool broken = false;
        for (uint32_t i = 1; i < n; i++) {
            element = linkof(element);
            if (!ASSERT_check(element != nullptr, MODULE_FILE, __LINE__, "e")) {
                broken = true;
                break;
            }
            if (compare(element, minimum) < 0)
                minimum = element;
        }
        if (broken)
            break;
        if (!unlinkelement(queue, minimum)) {
            fetchalert("QUEUE_sort - COULD NOT REMOVE SMALLEST ELEMENT!");
            break;
        }
        appendelement(queue, minimum);
    }
    unlockqueue(mutex);
}

// A null queue has no mutex: the mutex's null alerts report it.
int32_t QUEUE_lock(QUEUE* queue)
{
    MUTEX_lock(queue ? queue->mutex : nullptr);
    return 0;
}

void QUEUE_unlock(QUEUE* queue, int32_t token) { MUTEX_unlock(queue ? queue->mutex : nullptr); }
