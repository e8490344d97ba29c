// The seven processor-specific fill and copy routines behind MEM_fill and
// MEM_copy. Every routine runs in the same four stages over a signed
// remaining count: a head of 1-, 2- and 4-byte pieces (8 and 16 bytes too in
// the SSE routines) that aligns the destination, whole blocks, 8-byte pieces,
// and a tail of at most one 4-, one 2- and one 1-byte piece. The routines
// differ only in their head alignment and in how blocks and 8-byte pieces
// are moved: the stages are written once (runstages), and each routine is a
// small type that says how it moves its pieces.
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

// The stages and every move in them are inlined into the routine they serve,
// so that each routine is one loop nest compiled for its own instruction set:
// the MMX and SSE routines' target attribute covers all that is inlined into
// them. The MMX and SSE moves of the routine types below carry that
// attribute too but are plain inline: GCC and Clang refuse to force a
// function with a wider target into runstages, which has none of its own.
// Once runstages is in the attributed routine they inline there like the
// rest (an optimised build leaves no call in any routine, 32- or 64-bit,
// GCC or Clang).
#if defined(__GNUC__)
#define FASTMEM_INLINE inline __attribute__((always_inline))
#define FASTMEM_UNLIKELY(condition) __builtin_expect((condition) != 0, 0)
#else
#define FASTMEM_INLINE inline
#define FASTMEM_UNLIKELY(condition) ((condition) != 0)
#endif

static FASTMEM_INLINE uintptr_t address(const uint8_t* d) { return reinterpret_cast<uintptr_t>(d); }

// ---------------------------------------------------------------------------
// Integer pieces. With GCC and Clang every access is volatile through a
// byte-aligned type: volatile keeps each piece at its own width (the
// optimiser would otherwise merge neighbouring stores or turn a block loop
// into a library call), and the byte alignment makes unaligned pieces valid.

#if defined(__GNUC__)
typedef uint16_t FM_U16 __attribute__((aligned(1), may_alias));
typedef uint32_t FM_U32 __attribute__((aligned(1), may_alias));
typedef uint64_t FM_U64 __attribute__((aligned(1), may_alias));

static FASTMEM_INLINE uint8_t get1(const uint8_t* s) { return *reinterpret_cast<const volatile uint8_t*>(s); }
static FASTMEM_INLINE uint16_t get2(const uint8_t* s) { return *reinterpret_cast<const volatile FM_U16*>(s); }
static FASTMEM_INLINE uint32_t get4(const uint8_t* s) { return *reinterpret_cast<const volatile FM_U32*>(s); }
static FASTMEM_INLINE void put1(uint8_t* d, uint8_t v) { *reinterpret_cast<volatile uint8_t*>(d) = v; }
static FASTMEM_INLINE void put2(uint8_t* d, uint16_t v) { *reinterpret_cast<volatile FM_U16*>(d) = v; }
static FASTMEM_INLINE void put4(uint8_t* d, uint32_t v) { *reinterpret_cast<volatile FM_U32*>(d) = v; }
#else
static inline uint8_t get1(const uint8_t* s) { return *s; }
static inline uint16_t get2(const uint8_t* s)
{
    uint16_t v;
    memcpy(&v, s, 2);
    return v;
}
static inline uint32_t get4(const uint8_t* s)
{
    uint32_t v;
    memcpy(&v, s, 4);
    return v;
}
static inline void put1(uint8_t* d, uint8_t v) { *d = v; }
static inline void put2(uint8_t* d, uint16_t v) { memcpy(d, &v, 2); }
static inline void put4(uint8_t* d, uint32_t v) { memcpy(d, &v, 4); }
#endif

// A fill stores its 32-bit value in little-endian byte order on every host;
// the 2- and 1-byte pieces take its low bits.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
static FASTMEM_INLINE uint32_t le32(uint32_t v) { return __builtin_bswap32(v); }
static FASTMEM_INLINE uint16_t le16(uint32_t v) { return __builtin_bswap16(static_cast<uint16_t>(v)); }
#else
static FASTMEM_INLINE uint32_t le32(uint32_t v) { return v; }
static FASTMEM_INLINE uint16_t le16(uint32_t v) { return static_cast<uint16_t>(v); }
#endif

// ---------------------------------------------------------------------------
// Wide moves: 64-bit MMX and x87 moves, 128-bit SSE moves.

#if FASTMEM_X86

// The first 8 bytes of the fill pattern, the value doubled, as one operand.
static FASTMEM_INLINE const FM_U64& doubled(const uint32_t* pattern)
{
    return *reinterpret_cast<const FM_U64*>(pattern);
}

// Four 64-bit MMX stores of the value doubled.
FASTMEM_MMX static FASTMEM_INLINE void mmxfill32(uint8_t* d, const uint32_t* pattern)
{
    __asm__ __volatile__("movq %1, %%mm0\n\t"
                         "movq %%mm0, (%0)\n\t"
                         "movq %%mm0, 8(%0)\n\t"
                         "movq %%mm0, 16(%0)\n\t"
                         "movq %%mm0, 24(%0)\n\t"
                         :
                         : "r"(d), "m"(doubled(pattern))
                         : "mm0", "memory");
}

FASTMEM_MMX static FASTMEM_INLINE void mmxfill8(uint8_t* d, const uint32_t* pattern)
{
    __asm__ __volatile__("movq %1, %%mm0\n\t"
                         "movq %%mm0, (%0)\n\t"
                         :
                         : "r"(d), "m"(doubled(pattern))
                         : "mm0", "memory");
}

// One 128-byte block: the first word of each 32-byte source line is read
// before anything is stored, so that all four lines are on their way in;
// those words stay in mm0..mm3 and each line is then written as four words.
FASTMEM_MMX static FASTMEM_INLINE void mmxcopy128(uint8_t* d, const uint8_t* s)
{
    __asm__ __volatile__("movq (%0), %%mm0\n\t"
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

FASTMEM_MMX static FASTMEM_INLINE void mmxcopy32(uint8_t* d, const uint8_t* s)
{
    __asm__ __volatile__("movq (%0), %%mm0\n\t"
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

FASTMEM_MMX static FASTMEM_INLINE void mmxcopy8(uint8_t* d, const uint8_t* s)
{
    __asm__ __volatile__("movq (%0), %%mm0\n\t"
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
static FASTMEM_INLINE void fpucopy128(uint8_t* d, const uint8_t* s)
{
    __asm__ __volatile__("fildll 96(%0)\n\t"
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

static FASTMEM_INLINE void fpucopy32(uint8_t* d, const uint8_t* s)
{
    __asm__ __volatile__("fildll (%0)\n\t"
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

static FASTMEM_INLINE void fpucopy8(uint8_t* d, const uint8_t* s)
{
    __asm__ __volatile__("fildll (%0)\n\t"
                         "fistpll (%1)\n\t"
                         :
                         : "r"(s), "r"(d)
                         : FASTMEM_X87_CLOBBERS);
}

// SSE: the pattern reaches the register as raw bits (a float temporary could
// pass through the x87 unit on 32-bit builds, which quiets signalling NaN
// patterns).
static FASTMEM_INLINE const float* floats(const uint32_t* pattern) { return reinterpret_cast<const float*>(pattern); }
static FASTMEM_INLINE const float* floats(const uint8_t* s) { return reinterpret_cast<const float*>(s); }
static FASTMEM_INLINE float* floats(uint8_t* d) { return reinterpret_cast<float*>(d); }

FASTMEM_SSE static FASTMEM_INLINE void ssefill8(uint8_t* d, const uint32_t* pattern)
{
    _mm_storel_pi(reinterpret_cast<__m64*>(d), _mm_load_ps(floats(pattern)));
}

FASTMEM_SSE static FASTMEM_INLINE void ssefill16(uint8_t* d, const uint32_t* pattern)
{
    _mm_store_ps(floats(d), _mm_load_ps(floats(pattern)));
}

FASTMEM_SSE static FASTMEM_INLINE void ssefill32(uint8_t* d, const uint32_t* pattern)
{
    __m128 x = _mm_load_ps(floats(pattern));
    _mm_stream_ps(floats(d), x);
    _mm_stream_ps(floats(d + 16), x);
}

FASTMEM_SSE static FASTMEM_INLINE void ssecopy8(uint8_t* d, const uint8_t* s)
{
    _mm_storel_pi(reinterpret_cast<__m64*>(d), _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(s)));
}

FASTMEM_SSE static FASTMEM_INLINE void ssecopy16(uint8_t* d, const uint8_t* s)
{
    _mm_store_ps(floats(d), _mm_loadu_ps(floats(s)));
}

FASTMEM_SSE static FASTMEM_INLINE void ssecopy32(uint8_t* d, const uint8_t* s)
{
    __m128 a = _mm_loadu_ps(floats(s));
    __m128 b = _mm_loadu_ps(floats(s + 16));
    _mm_stream_ps(floats(d), a);
    _mm_stream_ps(floats(d + 16), b);
}

// Orders the non-temporal stores before whatever the caller does next, so a
// buffer handed to another thread after the call is seen complete.
FASTMEM_SSE static FASTMEM_INLINE void ssefence(void) { _mm_sfence(); }

#else  // portable

#if defined(__GNUC__)
typedef uint32_t FM_V16 __attribute__((vector_size(16), aligned(1), may_alias));
static FASTMEM_INLINE uint64_t get8(const uint8_t* s) { return *reinterpret_cast<const volatile FM_U64*>(s); }
static FASTMEM_INLINE void put8(uint8_t* d, uint64_t v) { *reinterpret_cast<volatile FM_U64*>(d) = v; }
static FASTMEM_INLINE void move16(uint8_t* d, const uint8_t* s)
{
    *reinterpret_cast<volatile FM_V16*>(d) = *reinterpret_cast<const volatile FM_V16*>(s);
}
#else
static inline uint64_t get8(const uint8_t* s)
{
    uint64_t v;
    memcpy(&v, s, 8);
    return v;
}
static inline void put8(uint8_t* d, uint64_t v) { memcpy(d, &v, 8); }
static inline void move16(uint8_t* d, const uint8_t* s) { memcpy(d, s, 16); }
#endif

static FASTMEM_INLINE const uint8_t* bytes(const uint32_t* pattern)
{
    return reinterpret_cast<const uint8_t*>(pattern);
}

static FASTMEM_INLINE void mmxfill32(uint8_t* d, const uint32_t* pattern)
{
    const uint64_t doubled = get8(bytes(pattern));
    put8(d, doubled);
    put8(d + 8, doubled);
    put8(d + 16, doubled);
    put8(d + 24, doubled);
}

static FASTMEM_INLINE void mmxfill8(uint8_t* d, const uint32_t* pattern) { put8(d, get8(bytes(pattern))); }

// One 128-byte block, read-ahead first as on x86: the first word of each of
// the four 32-byte source lines, then each line in turn.
static FASTMEM_INLINE void wordcopy128(uint8_t* d, const uint8_t* s)
{
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

static FASTMEM_INLINE void wordcopy32(uint8_t* d, const uint8_t* s)
{
    uint64_t w0 = get8(s), w1 = get8(s + 8), w2 = get8(s + 16), w3 = get8(s + 24);
    put8(d, w0);
    put8(d + 8, w1);
    put8(d + 16, w2);
    put8(d + 24, w3);
}

static FASTMEM_INLINE void mmxcopy128(uint8_t* d, const uint8_t* s) { wordcopy128(d, s); }
static FASTMEM_INLINE void mmxcopy32(uint8_t* d, const uint8_t* s) { wordcopy32(d, s); }
static FASTMEM_INLINE void mmxcopy8(uint8_t* d, const uint8_t* s) { put8(d, get8(s)); }
static FASTMEM_INLINE void fpucopy128(uint8_t* d, const uint8_t* s) { wordcopy128(d, s); }
static FASTMEM_INLINE void fpucopy32(uint8_t* d, const uint8_t* s) { wordcopy32(d, s); }
static FASTMEM_INLINE void fpucopy8(uint8_t* d, const uint8_t* s) { put8(d, get8(s)); }

static FASTMEM_INLINE void ssefill8(uint8_t* d, const uint32_t* pattern) { put8(d, get8(bytes(pattern))); }
static FASTMEM_INLINE void ssefill16(uint8_t* d, const uint32_t* pattern) { move16(d, bytes(pattern)); }
static FASTMEM_INLINE void ssefill32(uint8_t* d, const uint32_t* pattern)
{
    move16(d, bytes(pattern));
    move16(d + 16, bytes(pattern));
}
static FASTMEM_INLINE void ssecopy8(uint8_t* d, const uint8_t* s) { put8(d, get8(s)); }
static FASTMEM_INLINE void ssecopy16(uint8_t* d, const uint8_t* s) { move16(d, s); }
static FASTMEM_INLINE void ssecopy32(uint8_t* d, const uint8_t* s)
{
    move16(d, s);
    move16(d + 16, s + 16);
}
static FASTMEM_INLINE void ssefence(void) { }

#endif

// ---------------------------------------------------------------------------
// The routines, each a type that says how its pieces move:
//   HEADALIGN    4, 8 or 32: the head stops after its 2-, 4- or 16-byte piece
//   BLOCKS128    whether 128-byte blocks come before the 32-byte ones
//   move1..move4 the integer pieces of the head and the tail
//   move8        an 8-byte piece; move16 (HEADALIGN 32 only) a 16-byte one
//   move32       a 32-byte block; move128 (BLOCKS128 only) a 128-byte one
//   afterblocks  what follows a block stage that moved anything
//   skip(size)   what else moves on with the destination after a piece
// Every member is called only from runstages, inlined into the routine.

namespace {

// A fill: the value little-endian in every 4-byte piece, its low 16 and
// 8 bits in the 2- and 1-byte pieces. The MMX and SSE pieces store from
// pattern, the value four times over.
struct FILLPIECES {
    uint32_t value;
    uint32_t word;
    const uint32_t* pattern;

    FILLPIECES(uint32_t fill, const uint32_t* wide) : value(fill), word(le32(fill)), pattern(wide) { }
    FASTMEM_INLINE void move1(uint8_t* d) const { put1(d, static_cast<uint8_t>(value)); }
    FASTMEM_INLINE void move2(uint8_t* d) const { put2(d, le16(value)); }
    FASTMEM_INLINE void move4(uint8_t* d) const { put4(d, word); }
    FASTMEM_INLINE void skip(int32_t) const { }
    FASTMEM_INLINE void afterblocks() const { }
};

// A copy: each piece from the source, which moves on with the destination.
struct COPYPIECES {
    const uint8_t* s;

    explicit COPYPIECES(const void* source) : s(static_cast<const uint8_t*>(source)) { }
    FASTMEM_INLINE void move1(uint8_t* d) const { put1(d, get1(s)); }
    FASTMEM_INLINE void move2(uint8_t* d) const { put2(d, get2(s)); }
    FASTMEM_INLINE void move4(uint8_t* d) const { put4(d, get4(s)); }
    FASTMEM_INLINE void skip(int32_t size) { s += size; }
    FASTMEM_INLINE void afterblocks() const { }
};

struct FILL32 : FILLPIECES {
    static const uintptr_t HEADALIGN = 4;
    static const bool BLOCKS128 = false;

    FILL32(uint32_t fill, const uint32_t* wide) : FILLPIECES(fill, wide) { }
    FASTMEM_INLINE void move8(uint8_t* d) const
    {
        put4(d, word);
        put4(d + 4, word);
    }
    FASTMEM_INLINE void move32(uint8_t* d) const
    {
        put4(d, word);
        put4(d + 4, word);
        put4(d + 8, word);
        put4(d + 12, word);
        put4(d + 16, word);
        put4(d + 20, word);
        put4(d + 24, word);
        put4(d + 28, word);
    }
};

// The head aligns to 4 only, so the 64-bit stores may sit at addresses that
// are multiples of 4 but not of 8.
struct FILLMMX : FILLPIECES {
    static const uintptr_t HEADALIGN = 4;
    static const bool BLOCKS128 = false;

    FILLMMX(uint32_t fill, const uint32_t* wide) : FILLPIECES(fill, wide) { }
    FASTMEM_MMX inline void move8(uint8_t* d) const { mmxfill8(d, pattern); }
    FASTMEM_MMX inline void move32(uint8_t* d) const { mmxfill32(d, pattern); }
};

// Whenever a block follows, every head piece had room, so the head leaves
// the destination a multiple of 32 for the aligned non-temporal stores.
struct FILLSSE : FILLPIECES {
    static const uintptr_t HEADALIGN = 32;
    static const bool BLOCKS128 = false;

    FILLSSE(uint32_t fill, const uint32_t* wide) : FILLPIECES(fill, wide) { }
    FASTMEM_SSE inline void move8(uint8_t* d) const { ssefill8(d, pattern); }
    FASTMEM_SSE inline void move16(uint8_t* d) const { ssefill16(d, pattern); }
    FASTMEM_SSE inline void move32(uint8_t* d) const { ssefill32(d, pattern); }
    FASTMEM_SSE inline void afterblocks() const { ssefence(); }
};

struct COPY32 : COPYPIECES {
    static const uintptr_t HEADALIGN = 4;
    static const bool BLOCKS128 = false;

    explicit COPY32(const void* source) : COPYPIECES(source) { }
    FASTMEM_INLINE void move8(uint8_t* d) const
    {
        put4(d, get4(s));
        put4(d + 4, get4(s + 4));
    }
    FASTMEM_INLINE void move32(uint8_t* d) const
    {
        put4(d, get4(s));
        put4(d + 4, get4(s + 4));
        put4(d + 8, get4(s + 8));
        put4(d + 12, get4(s + 12));
        put4(d + 16, get4(s + 16));
        put4(d + 20, get4(s + 20));
        put4(d + 24, get4(s + 24));
        put4(d + 28, get4(s + 28));
    }
};

struct COPYFPU : COPYPIECES {
    static const uintptr_t HEADALIGN = 8;
    static const bool BLOCKS128 = true;

    explicit COPYFPU(const void* source) : COPYPIECES(source) { }
    FASTMEM_INLINE void move8(uint8_t* d) const { fpucopy8(d, s); }
    FASTMEM_INLINE void move32(uint8_t* d) const { fpucopy32(d, s); }
    FASTMEM_INLINE void move128(uint8_t* d) const { fpucopy128(d, s); }
};

struct COPYMMX : COPYPIECES {
    static const uintptr_t HEADALIGN = 8;
    static const bool BLOCKS128 = true;

    explicit COPYMMX(const void* source) : COPYPIECES(source) { }
    FASTMEM_MMX inline void move8(uint8_t* d) const { mmxcopy8(d, s); }
    FASTMEM_MMX inline void move32(uint8_t* d) const { mmxcopy32(d, s); }
    FASTMEM_MMX inline void move128(uint8_t* d) const { mmxcopy128(d, s); }
};

struct COPYSSE : COPYPIECES {
    static const uintptr_t HEADALIGN = 32;
    static const bool BLOCKS128 = false;

    explicit COPYSSE(const void* source) : COPYPIECES(source) { }
    FASTMEM_SSE inline void move8(uint8_t* d) const { ssecopy8(d, s); }
    FASTMEM_SSE inline void move16(uint8_t* d) const { ssecopy16(d, s); }
    FASTMEM_SSE inline void move32(uint8_t* d) const { ssecopy32(d, s); }
    FASTMEM_SSE inline void afterblocks() const { ssefence(); }
};

}  // namespace

// ---------------------------------------------------------------------------
// The four stages, for every routine.

// Moves on past a piece of size bytes.
template <class ROUTINE>
static FASTMEM_INLINE void advance(ROUTINE& routine, uint8_t*& d, int32_t& n, int32_t size)
{
    d += size;
    routine.skip(size);
    n -= size;
}

// Returns the destination after the last byte moved. Each head piece looks
// at the destination as the pieces before it left it and is moved only when
// enough bytes remain. Most destinations come aligned (memory manager blocks
// do), so the head is kept off the straight path to the blocks.
template <class ROUTINE>
static FASTMEM_INLINE uint8_t* runstages(ROUTINE& routine, uint8_t* d, int32_t n)
{
    if (FASTMEM_UNLIKELY(address(d) & (ROUTINE::HEADALIGN - 1))) {
        if ((address(d) & 1) && n >= 1) {
            routine.move1(d);
            advance(routine, d, n, 1);
        }
        if ((address(d) & 2) && n >= 2) {
            routine.move2(d);
            advance(routine, d, n, 2);
        }
        if (ROUTINE::HEADALIGN >= 8 && (address(d) & 4) && n >= 4) {
            routine.move4(d);
            advance(routine, d, n, 4);
        }
        if constexpr (ROUTINE::HEADALIGN >= 32) {
            if ((address(d) & 8) && n >= 8) {
                routine.move8(d);
                advance(routine, d, n, 8);
            }
            if ((address(d) & 16) && n >= 16) {
                routine.move16(d);
                advance(routine, d, n, 16);
            }
        }
    }
    if constexpr (ROUTINE::BLOCKS128) {
        while (n >= 128) {
            routine.move128(d);
            advance(routine, d, n, 128);
        }
    }
    // afterblocks (the SSE routines' fence) runs only when a block moved.
    if (n >= 32) {
        while (n >= 32) {
            routine.move32(d);
            advance(routine, d, n, 32);
        }
        routine.afterblocks();
    }
    while (n >= 8) {
        routine.move8(d);
        advance(routine, d, n, 8);
    }
    if (n >= 4) {
        routine.move4(d);
        advance(routine, d, n, 4);
    }
    if (n >= 2) {
        routine.move2(d);
        advance(routine, d, n, 2);
    }
    if (n >= 1) {
        routine.move1(d);
        advance(routine, d, n, 1);
    }
    return d;
}

// A count below 0 is treated as 0, and so is a null destination or source:
// nothing is written and the destination comes back unchanged. The tests are
// combined without short-circuits, so the common case pays only a few
// compares and well-predicted branches.
template <class ROUTINE>
static FASTMEM_INLINE void* fill(void* dest, uint32_t value, int32_t count)
{
    if ((count <= 0) | (dest == nullptr))
        return dest;
    // A local of its own, so that the integer pieces keep the value in a
    // register; 16-byte aligned for the SSE loads.
    alignas(16) const uint32_t pattern[4] = {le32(value), le32(value), le32(value), le32(value)};
    ROUTINE routine(value, pattern);
    return runstages(routine, static_cast<uint8_t*>(dest), count);
}

template <class ROUTINE>
static FASTMEM_INLINE void* copy(void* dest, const void* source, int32_t count)
{
    if ((count <= 0) | (dest == nullptr) | (source == nullptr))
        return dest;
    ROUTINE routine(source);
    return runstages(routine, static_cast<uint8_t*>(dest), count);
}

void* MEM_fill32(void* dest, uint32_t value, int32_t count) { return fill<FILL32>(dest, value, count); }

FASTMEM_MMX void* MEM_fillmmx(void* dest, uint32_t value, int32_t count) { return fill<FILLMMX>(dest, value, count); }

FASTMEM_SSE void* MEM_fillsse(void* dest, uint32_t value, int32_t count) { return fill<FILLSSE>(dest, value, count); }

void* MEM_copy32(void* dest, const void* source, int32_t count) { return copy<COPY32>(dest, source, count); }

// Must be entered with the x87 register stack empty, as every caller
// following the platform's calling convention is.
void* MEM_copyfpu(void* dest, const void* source, int32_t count) { return copy<COPYFPU>(dest, source, count); }

FASTMEM_MMX void* MEM_copymmx(void* dest, const void* source, int32_t count)
{
    return copy<COPYMMX>(dest, source, count);
}

FASTMEM_SSE void* MEM_copysse(void* dest, const void* source, int32_t count)
{
    return copy<COPYSSE>(dest, source, count);
}
