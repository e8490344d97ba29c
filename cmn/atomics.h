// The library's atomic field accessors. A field that one thread writes while
// another reads it without holding a lock (a device's running flag, a
// transfer's progress, a sync task's state, a queue's count, a channel's
// flags) is read and written through these and nothing else. A thread that
// spins on such a field pauses with ATOMIC_pause between looks.
//
// load/store/swapif publish: a store releases what was written before it, a
// load acquires it. peek, add and the bit operations are counters and flags
// whose readers need only a value that was really there.
#ifndef VORL_CMN_ATOMICS_H
#define VORL_CMN_ATOMICS_H

template <typename T>
static inline T ATOMIC_load(const T* field)
{
    return __atomic_load_n(field, __ATOMIC_ACQUIRE);
}

template <typename T, typename V>
static inline void ATOMIC_store(T* field, V value)
{
    __atomic_store_n(field, static_cast<T>(value), __ATOMIC_RELEASE);
}

// Replaces *field by value when it holds expected; whether it did.
template <typename T, typename V, typename W>
static inline bool ATOMIC_swapif(T* field, V expected, W value)
{
    T old = static_cast<T>(expected);
    return __atomic_compare_exchange_n(field, &old, static_cast<T>(value), false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

template <typename T>
static inline T ATOMIC_peek(const T* field)
{
    return __atomic_load_n(field, __ATOMIC_RELAXED);
}

template <typename T, typename V>
static inline void ATOMIC_poke(T* field, V value)
{
    __atomic_store_n(field, static_cast<T>(value), __ATOMIC_RELAXED);
}

template <typename T, typename V>
static inline void ATOMIC_add(T* field, V delta)
{
    __atomic_fetch_add(field, static_cast<T>(delta), __ATOMIC_RELAXED);
}

template <typename T, typename V>
static inline void ATOMIC_setbits(T* field, V bits)
{
    __atomic_fetch_or(field, static_cast<T>(bits), __ATOMIC_RELAXED);
}

template <typename T, typename V>
static inline void ATOMIC_clearbits(T* field, V bits)
{
    __atomic_fetch_and(field, static_cast<T>(~static_cast<T>(bits)), __ATOMIC_RELAXED);
}

// Tells the processor that the thread is spinning on a field, so that it
// spends less on the loop and lets a sibling hardware thread run.
static inline void ATOMIC_pause(void)
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

#endif
