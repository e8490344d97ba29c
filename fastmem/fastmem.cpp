// The seven processor-specific fill and copy routines behind MEM_fill and
// MEM_copy. Every routine runs in the same four stages over a signed
// remaining count: a head of 1-, 2- and 4-byte pieces (8 and 16 bytes too in
// the SSE routines) that aligns the destination, whole blocks, 8-byte pieces,
// and a tail of at most one 4-, one 2- and one 1-byte piece. The routines
// differ only in their head alignment and in how blocks and 8-byte pieces
// are moved.
//
// On x86 (32- and 64-bit) the x87 and MMX moves are inline assembly, so that
// they really go through those registers whatever the compiler would pick,
// and the SSE moves are intrinsics. Elsewhere, or with VORL_FASTMEM_PORTABLE
// defined, the same stages run with plain 64- and 128-bit moves.
//
// The routines call nothing, keep nothing between calls and never empty the
// MMX state: MEM_fill and MEM_copy do that after an MMX routine.
#include <stdint.h>
#include <string.h>

#include "vorl/pagemem.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && !defined(VORL_FASTMEM_PORTABLE)
#define FASTMEM_X86 1
#include <xmmintrin.h>
// The MMX and SSE code needs those units enabled even where the build's
// baseline (plain i686) leaves them off; the flags decide at run time.
#define FASTMEM_MMX __attribute__((target("mmx")))
#define FASTMEM_SSE __attribute__((target("sse")))
#else
#define FASTMEM_X86 0
#define FASTMEM_MMX
#define FASTMEM_SSE
#endif

// ---------------------------------------------------------------------------
// Integer pieces. With GCC and Clang every access is volatile through a
// byte-aligned type: volatile keeps each piece at its own width (the
// optimiser would otherwise merge neighbouring stores or turn a block loop
// into a library call), and the byte alignment makes unaligned pieces valid.

#if defined(__GNUC__)
typedef uint16_t FM_U16 __attribute__((aligned(1), may_alias));
typedef uint32_t FM_U32 __attribute__((aligned(1), may_alias));
typedef uint64_t FM_U64 __attribute__((aligned(1), may_alias));

static inline uint8_t get1(const uint8_t* s) { return *(const volatile uint8_t*)s; }
static inline uint16_t get2(const uint8_t* s) { return *(const volatile FM_U16*)s; }
static inline uint32_t get4(const uint8_t* s) { return *(const volatile FM_U32*)s; }
static inline void put1(uint8_t* d, uint8_t v) { *(volatile uint8_t*)d = v; }
static inline void put2(uint8_t* d, uint16_t v) { *(volatile FM_U16*)d = v; }
static inline void put4(uint8_t* d, uint32_t v) { *(volatile FM_U32*)d = v; }
#else
static inline uint8_t get1(const uint8_t* s) { return *s; }
static inline uint16_t get2(const uint8_t* s) { uint16_t v; memcpy(&v, s, 2); return v; }
static inline uint32_t get4(const uint8_t* s) { uint32_t v; memcpy(&v, s, 4); return v; }
static inline void put1(uint8_t* d, uint8_t v) { *d = v; }
static inline void put2(uint8_t* d, uint16_t v) { memcpy(d, &v, 2); }
static inline void put4(uint8_t* d, uint32_t v) { memcpy(d, &v, 4); }
#endif

// A fill stores its 32-bit value in little-endian byte order on every host;
// the 2- and 1-byte pieces take its low bits.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
static inline uint32_t le32(uint32_t v) { return __builtin_bswap32(v); }
static inline uint16_t le16(uint32_t v) { return __builtin_bswap16((uint16_t)v); }
#else
static inline uint32_t le32(uint32_t v) { return v; }
static inline uint16_t le16(uint32_t v) { return (uint16_t)v; }
#endif

// Head pieces of 1 and 2 bytes, and of 4 bytes when the head alignment is 8
// or more. Each looks at the destination as the pieces before it left it and
// is written only when enough bytes remain.
static inline void fillhead(uint8_t*& d, int32_t& n, uint32_t v, uintptr_t align) {
    if (((uintptr_t)d & 1) && n >= 1) {
        put1(d, (uint8_t)v);
        d += 1;
        n -= 1;
    }
    if (((uintptr_t)d & 2) && n >= 2) {
        put2(d, le16(v));
        d += 2;
        n -= 2;
    }
    if (align >= 8 && ((uintptr_t)d & 4) && n >= 4) {
        put4(d, le32(v));
        d += 4;
        n -= 4;
    }
}

static inline void copyhead(uint8_t*& d, const uint8_t*& s, int32_t& n, uintptr_t align) {
    if (((uintptr_t)d & 1) && n >= 1) {
        put1(d, get1(s));
        d += 1;
        s += 1;
        n -= 1;
    }
    if (((uintptr_t)d & 2) && n >= 2) {
        put2(d, get2(s));
        d += 2;
        s += 2;
        n -= 2;
    }
    if (align >= 8 && ((uintptr_t)d & 4) && n >= 4) {
        put4(d, get4(s));
        d += 4;
        s += 4;
        n -= 4;
    }
}

static inline void filltail(uint8_t*& d, int32_t& n, uint32_t v) {
    if (n >= 4) {
        put4(d, le32(v));
        d += 4;
        n -= 4;
    }
    if (n >= 2) {
        put2(d, le16(v));
        d += 2;
        n -= 2;
    }
    if (n >= 1) {
        put1(d, (uint8_t)v);
        d += 1;
        n -= 1;
    }
}

static inline void copytail(uint8_t*& d, const uint8_t*& s, int32_t& n) {
    if (n >= 4) {
        put4(d, get4(s));
        d += 4;
        s += 4;
        n -= 4;
    }
    if (n >= 2) {
        put2(d, get2(s));
        d += 2;
        s += 2;
        n -= 2;
    }
    if (n >= 1) {
        put1(d, get1(s));
        d += 1;
        s += 1;
        n -= 1;
    }
}

// ---------------------------------------------------------------------------
// Wide moves: 64-bit MMX and x87 moves, 128-bit SSE moves.

#if FASTMEM_X86

// Four 64-bit MMX stores of the value doubled (the 64-bit pattern in memory).
FASTMEM_MMX static inline void mmxfill32(uint8_t* d, const uint64_t* pattern) {
    __asm__ __volatile__(
        "movq %1, %%mm0\n\t"
        "movq %%mm0, (%0)\n\t"
        "movq %%mm0, 8(%0)\n\t"
        "movq %%mm0, 16(%0)\n\t"
        "movq %%mm0, 24(%0)\n\t"
        :
        : "r"(d), "m"(*pattern)
        : "mm0", "memory");
}

FASTMEM_MMX static inline void mmxfill8(uint8_t* d, const uint64_t* pattern) {
    __asm__ __volatile__(
        "movq %1, %%mm0\n\t"
        "movq %%mm0, (%0)\n\t"
        :
        : "r"(d), "m"(*pattern)
        : "mm0", "memory");
}

// One 128-byte block: the first word of each 32-byte source line is read
// before anything is stored, so that all four lines are on their way in;
// those words stay in mm0..mm3 and each line is then written as four words.
FASTMEM_MMX static inline void mmxcopy128(uint8_t* d, const uint8_t* s) {
    __asm__ __volatile__(
        "movq (%0), %%mm0\n\t"
        "movq 32(%0), %%mm1\n\t"
        "movq 64(%0), %%mm2\n\t"
        "movq 96(%0), %%mm3\n\t"
        "movq 8(%0), %%mm4\n\t"
        "movq 16(%0), %%mm5\n\t"
        "movq 24(%0), %%mm6\n\t"
        "movq %%mm0, (%1)\n\t"
        "movq %%mm4, 8(%1)\n\t"
        "movq %%mm5, 16(%1)\n\t"
        "movq %%mm6, 24(%1)\n\t"
        "movq 40(%0), %%mm4\n\t"
        "movq 48(%0), %%mm5\n\t"
        "movq 56(%0), %%mm6\n\t"
        "movq %%mm1, 32(%1)\n\t"
        "movq %%mm4, 40(%1)\n\t"
        "movq %%mm5, 48(%1)\n\t"
        "movq %%mm6, 56(%1)\n\t"
        "movq 72(%0), %%mm4\n\t"
        "movq 80(%0), %%mm5\n\t"
        "movq 88(%0), %%mm6\n\t"
        "movq %%mm2, 64(%1)\n\t"
        "movq %%mm4, 72(%1)\n\t"
        "movq %%mm5, 80(%1)\n\t"
        "movq %%mm6, 88(%1)\n\t"
        "movq 104(%0), %%mm4\n\t"
        "movq 112(%0), %%mm5\n\t"
        "movq 120(%0), %%mm6\n\t"
        "movq %%mm3, 96(%1)\n\t"
        "movq %%mm4, 104(%1)\n\t"
        "movq %%mm5, 112(%1)\n\t"
        "movq %%mm6, 120(%1)\n\t"
        :
        : "r"(s), "r"(d)
        : "mm0", "mm1", "mm2", "mm3", "mm4", "mm5", "mm6", "memory");
}

FASTMEM_MMX static inline void mmxcopy32(uint8_t* d, const uint8_t* s) {
    __asm__ __volatile__(
        "movq (%0), %%mm0\n\t"
        "movq 8(%0), %%mm1\n\t"
        "movq 16(%0), %%mm2\n\t"
        "movq 24(%0), %%mm3\n\t"
        "movq %%mm0, (%1)\n\t"
        "movq %%mm1, 8(%1)\n\t"
        "movq %%mm2, 16(%1)\n\t"
        "movq %%mm3, 24(%1)\n\t"
        :
        : "r"(s), "r"(d)
        : "mm0", "mm1", "mm2", "mm3", "memory");
}

FASTMEM_MMX static inline void mmxcopy8(uint8_t* d, const uint8_t* s) {
    __asm__ __volatile__(
        "movq (%0), %%mm0\n\t"
        "movq %%mm0, (%1)\n\t"
        :
        : "r"(s), "r"(d)
        : "mm0", "memory");
}

// The x87 moves load 64-bit integers (fild) and store them back (fistp):
// the 64-bit extended-format significand holds every 64-bit integer exactly,
// so every bit pattern survives, which a floating-point load would not
// promise for NaNs. The clobbers reserve the whole register stack; the code
// pushes at most seven values and pops them all again.
#define FASTMEM_X87_CLOBBERS "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)", "st(7)", "memory"

// One 128-byte block. The read-ahead words of lines 3, 2, 1, 0 are pushed
// first (so line 0's is on top), then each line pushes its other three words
// and pops all four: at most seven values are ever on the stack.
static inline void fpucopy128(uint8_t* d, const uint8_t* s) {
    __asm__ __volatile__(
        "fildll 96(%0)\n\t"
        "fildll 64(%0)\n\t"
        "fildll 32(%0)\n\t"
        "fildll (%0)\n\t"
        "fildll 8(%0)\n\t"
        "fildll 16(%0)\n\t"
        "fildll 24(%0)\n\t"
        "fistpll 24(%1)\n\t"
        "fistpll 16(%1)\n\t"
        "fistpll 8(%1)\n\t"
        "fistpll (%1)\n\t"
        "fildll 40(%0)\n\t"
        "fildll 48(%0)\n\t"
        "fildll 56(%0)\n\t"
        "fistpll 56(%1)\n\t"
        "fistpll 48(%1)\n\t"
        "fistpll 40(%1)\n\t"
        "fistpll 32(%1)\n\t"
        "fildll 72(%0)\n\t"
        "fildll 80(%0)\n\t"
        "fildll 88(%0)\n\t"
        "fistpll 88(%1)\n\t"
        "fistpll 80(%1)\n\t"
        "fistpll 72(%1)\n\t"
        "fistpll 64(%1)\n\t"
        "fildll 104(%0)\n\t"
        "fildll 112(%0)\n\t"
        "fildll 120(%0)\n\t"
        "fistpll 120(%1)\n\t"
        "fistpll 112(%1)\n\t"
        "fistpll 104(%1)\n\t"
        "fistpll 96(%1)\n\t"
        :
        : "r"(s), "r"(d)
        : FASTMEM_X87_CLOBBERS);
}

static inline void fpucopy32(uint8_t* d, const uint8_t* s) {
    __asm__ __volatile__(
        "fildll (%0)\n\t"
        "fildll 8(%0)\n\t"
        "fildll 16(%0)\n\t"
        "fildll 24(%0)\n\t"
        "fistpll 24(%1)\n\t"
        "fistpll 16(%1)\n\t"
        "fistpll 8(%1)\n\t"
        "fistpll (%1)\n\t"
        :
        : "r"(s), "r"(d)
        : FASTMEM_X87_CLOBBERS);
}

static inline void fpucopy8(uint8_t* d, const uint8_t* s) {
    __asm__ __volatile__(
        "fildll (%0)\n\t"
        "fistpll (%1)\n\t"
        :
        : "r"(s), "r"(d)
        : FASTMEM_X87_CLOBBERS);
}

// SSE: the value four times over lives in a 16-byte aligned local so that it
// reaches the register as raw bits (a float temporary could pass through the
// x87 unit on 32-bit builds, which quiets signalling NaN patterns).
FASTMEM_SSE static inline void ssefill8(uint8_t* d, const uint32_t* pattern) {
    _mm_storel_pi((__m64*)d, _mm_load_ps((const float*)pattern));
}

FASTMEM_SSE static inline void ssefill16(uint8_t* d, const uint32_t* pattern) {
    _mm_store_ps((float*)d, _mm_load_ps((const float*)pattern));
}

FASTMEM_SSE static inline void ssefill32(uint8_t* d, const uint32_t* pattern) {
    __m128 x = _mm_load_ps((const float*)pattern);
    _mm_stream_ps((float*)d, x);
    _mm_stream_ps((float*)(d + 16), x);
}

FASTMEM_SSE static inline void ssecopy8(uint8_t* d, const uint8_t* s) {
    _mm_storel_pi((__m64*)d, _mm_loadl_pi(_mm_setzero_ps(), (const __m64*)s));
}

FASTMEM_SSE static inline void ssecopy16(uint8_t* d, const uint8_t* s) {
    _mm_store_ps((float*)d, _mm_loadu_ps((const float*)s));
}

FASTMEM_SSE static inline void ssecopy32(uint8_t* d, const uint8_t* s) {
    __m128 a = _mm_loadu_ps((const float*)s);
    __m128 b = _mm_loadu_ps((const float*)(s + 16));
    _mm_stream_ps((float*)d, a);
    _mm_stream_ps((float*)(d + 16), b);
}

// Orders the non-temporal stores before whatever the caller does next, so a
// buffer handed to another thread after the call is seen complete.
FASTMEM_SSE static inline void ssefence(void) { _mm_sfence(); }

#else  // portable

#if defined(__GNUC__)
typedef uint32_t FM_V16 __attribute__((vector_size(16), aligned(1), may_alias));
static inline uint64_t get8(const uint8_t* s) { return *(const volatile FM_U64*)s; }
static inline void put8(uint8_t* d, uint64_t v) { *(volatile FM_U64*)d = v; }
static inline void move16(uint8_t* d, const uint8_t* s) { *(volatile FM_V16*)d = *(const volatile FM_V16*)s; }
#else
static inline uint64_t get8(const uint8_t* s) { uint64_t v; memcpy(&v, s, 8); return v; }
static inline void put8(uint8_t* d, uint64_t v) { memcpy(d, &v, 8); }
static inline void move16(uint8_t* d, const uint8_t* s) { memcpy(d, s, 16); }
#endif

static inline void mmxfill32(uint8_t* d, const uint64_t* pattern) {
    put8(d, *pattern);
    put8(d + 8, *pattern);
    put8(d + 16, *pattern);
    put8(d + 24, *pattern);
}

static inline void mmxfill8(uint8_t* d, const uint64_t* pattern) { put8(d, *pattern); }

// One 128-byte block, read-ahead first as on x86: the first word of each of
// the four 32-byte source lines, then each line in turn.
static inline void wordcopy128(uint8_t* d, const uint8_t* s) {
    uint64_t line0 = get8(s), line1 = get8(s + 32), line2 = get8(s + 64), line3 = get8(s + 96);
    const uint64_t first[4] = {line0, line1, line2, line3};
    for (int line = 0; line < 4; line++) {
        const uint8_t* from = s + line * 32;
        uint8_t* to = d + line * 32;
        uint64_t w1 = get8(from + 8), w2 = get8(from + 16), w3 = get8(from + 24);
        put8(to, first[line]);
        put8(to + 8, w1);
        put8(to + 16, w2);
        put8(to + 24, w3);
    }
}

static inline void wordcopy32(uint8_t* d, const uint8_t* s) {
    uint64_t w0 = get8(s), w1 = get8(s + 8), w2 = get8(s + 16), w3 = get8(s + 24);
    put8(d, w0);
    put8(d + 8, w1);
    put8(d + 16, w2);
    put8(d + 24, w3);
}

static inline void mmxcopy128(uint8_t* d, const uint8_t* s) { wordcopy128(d, s); }
static inline void mmxcopy32(uint8_t* d, const uint8_t* s) { wordcopy32(d, s); }
static inline void mmxcopy8(uint8_t* d, const uint8_t* s) { put8(d, get8(s)); }
static inline void fpucopy128(uint8_t* d, const uint8_t* s) { wordcopy128(d, s); }
static inline void fpucopy32(uint8_t* d, const uint8_t* s) { wordcopy32(d, s); }
static inline void fpucopy8(uint8_t* d, const uint8_t* s) { put8(d, get8(s)); }

static inline void ssefill8(uint8_t* d, const uint32_t* pattern) { put8(d, get8((const uint8_t*)pattern)); }
static inline void ssefill16(uint8_t* d, const uint32_t* pattern) { move16(d, (const uint8_t*)pattern); }
static inline void ssefill32(uint8_t* d, const uint32_t* pattern) {
    move16(d, (const uint8_t*)pattern);
    move16(d + 16, (const uint8_t*)pattern);
}
static inline void ssecopy8(uint8_t* d, const uint8_t* s) { put8(d, get8(s)); }
static inline void ssecopy16(uint8_t* d, const uint8_t* s) { move16(d, s); }
static inline void ssecopy32(uint8_t* d, const uint8_t* s) {
    move16(d, s);
    move16(d + 16, s + 16);
}
static inline void ssefence(void) {}

#endif

// ---------------------------------------------------------------------------
// The routines. A count below 0 is treated as 0, and so is a null destination
// or source: nothing is written and the destination comes back unchanged.
// The tests are combined without short-circuits, so the common case pays
// only a few compares and well-predicted branches.

static inline bool nofill(const void* dest, int32_t n) { return (n <= 0) | (dest == nullptr); }

static inline bool nocopy(const void* dest, const void* source, int32_t n) {
    return (n <= 0) | (dest == nullptr) | (source == nullptr);
}

void* MEM_fill32(void* dest, uint32_t value, int32_t count) {
    uint8_t* d = (uint8_t*)dest;
    int32_t n = count;
    if (nofill(dest, n))
        return dest;
    const uint32_t word = le32(value);
    if ((uintptr_t)d & 3)
        fillhead(d, n, value, 4);
    while (n >= 32) {
        put4(d, word);
        put4(d + 4, word);
        put4(d + 8, word);
        put4(d + 12, word);
        put4(d + 16, word);
        put4(d + 20, word);
        put4(d + 24, word);
        put4(d + 28, word);
        d += 32;
        n -= 32;
    }
    while (n >= 8) {
        put4(d, word);
        put4(d + 4, word);
        d += 8;
        n -= 8;
    }
    filltail(d, n, value);
    return d;
}

FASTMEM_MMX void* MEM_fillmmx(void* dest, uint32_t value, int32_t count) {
    uint8_t* d = (uint8_t*)dest;
    int32_t n = count;
    if (nofill(dest, n))
        return dest;
    const uint64_t pattern = ((uint64_t)le32(value) << 32) | le32(value);
    // The head aligns to 4 only, so the 64-bit stores may sit at addresses
    // that are multiples of 4 but not of 8.
    if ((uintptr_t)d & 3)
        fillhead(d, n, value, 4);
    while (n >= 32) {
        mmxfill32(d, &pattern);
        d += 32;
        n -= 32;
    }
    while (n >= 8) {
        mmxfill8(d, &pattern);
        d += 8;
        n -= 8;
    }
    filltail(d, n, value);
    return d;
}

FASTMEM_SSE void* MEM_fillsse(void* dest, uint32_t value, int32_t count) {
    uint8_t* d = (uint8_t*)dest;
    int32_t n = count;
    if (nofill(dest, n))
        return dest;
    alignas(16) const uint32_t pattern[4] = {le32(value), le32(value), le32(value), le32(value)};
    // Whenever a block follows, every head piece had room, so the head leaves
    // the destination a multiple of 32 for the aligned non-temporal stores.
    if ((uintptr_t)d & 31) {
        fillhead(d, n, value, 32);
        if (((uintptr_t)d & 8) && n >= 8) {
            ssefill8(d, pattern);
            d += 8;
            n -= 8;
        }
        if (((uintptr_t)d & 16) && n >= 16) {
            ssefill16(d, pattern);
            d += 16;
            n -= 16;
        }
    }
    if (n >= 32) {
        while (n >= 32) {
            ssefill32(d, pattern);
            d += 32;
            n -= 32;
        }
        ssefence();
    }
    while (n >= 8) {
        ssefill8(d, pattern);
        d += 8;
        n -= 8;
    }
    filltail(d, n, value);
    return d;
}

void* MEM_copy32(void* dest, const void* source, int32_t count) {
    uint8_t* d = (uint8_t*)dest;
    const uint8_t* s = (const uint8_t*)source;
    int32_t n = count;
    if (nocopy(dest, source, n))
        return dest;
    if ((uintptr_t)d & 3)
        copyhead(d, s, n, 4);
    while (n >= 32) {
        put4(d, get4(s));
        put4(d + 4, get4(s + 4));
        put4(d + 8, get4(s + 8));
        put4(d + 12, get4(s + 12));
        put4(d + 16, get4(s + 16));
        put4(d + 20, get4(s + 20));
        put4(d + 24, get4(s + 24));
        put4(d + 28, get4(s + 28));
        d += 32;
        s += 32;
        n -= 32;
    }
    while (n >= 8) {
        put4(d, get4(s));
        put4(d + 4, get4(s + 4));
        d += 8;
        s += 8;
        n -= 8;
    }
    copytail(d, s, n);
    return d;
}

// Must be entered with the x87 register stack empty, as every caller
// following the platform's calling convention is.
void* MEM_copyfpu(void* dest, const void* source, int32_t count) {
    uint8_t* d = (uint8_t*)dest;
    const uint8_t* s = (const uint8_t*)source;
    int32_t n = count;
    if (nocopy(dest, source, n))
        return dest;
    if ((uintptr_t)d & 7)
        copyhead(d, s, n, 8);
    while (n >= 128) {
        fpucopy128(d, s);
        d += 128;
        s += 128;
        n -= 128;
    }
    while (n >= 32) {
        fpucopy32(d, s);
        d += 32;
        s += 32;
        n -= 32;
    }
    while (n >= 8) {
        fpucopy8(d, s);
        d += 8;
        s += 8;
        n -= 8;
    }
    copytail(d, s, n);
    return d;
}

FASTMEM_MMX void* MEM_copymmx(void* dest, const void* source, int32_t count) {
    uint8_t* d = (uint8_t*)dest;
    const uint8_t* s = (const uint8_t*)source;
    int32_t n = count;
    if (nocopy(dest, source, n))
        return dest;
    if ((uintptr_t)d & 7)
        copyhead(d, s, n, 8);
    while (n >= 128) {
        mmxcopy128(d, s);
        d += 128;
        s += 128;
        n -= 128;
    }
    while (n >= 32) {
        mmxcopy32(d, s);
        d += 32;
        s += 32;
        n -= 32;
    }
    while (n >= 8) {
        mmxcopy8(d, s);
        d += 8;
        s += 8;
        n -= 8;
    }
    copytail(d, s, n);
    return d;
}

FASTMEM_SSE void* MEM_copysse(void* dest, const void* source, int32_t count) {
    uint8_t* d = (uint8_t*)dest;
    const uint8_t* s = (const uint8_t*)source;
    int32_t n = count;
    if (nocopy(dest, source, n))
        return dest;
    if ((uintptr_t)d & 31) {
        copyhead(d, s, n, 32);
        if (((uintptr_t)d & 8) && n >= 8) {
            ssecopy8(d, s);
            d += 8;
            s += 8;
            n -= 8;
        }
        if (((uintptr_t)d & 16) && n >= 16) {
            ssecopy16(d, s);
            d += 16;
            s += 16;
            n -= 16;
        }
    }
    if (n >= 32) {
        while (n >= 32) {
            ssecopy32(d, s);
            d += 32;
            s += 32;
            n -= 32;
        }
        ssefence();
    }
    while (n >= 8) {
        ssecopy8(d, s);
        d += 8;
        s += 8;
        n -= 8;
    }
    copytail(d, s, n);
    return d;
}
