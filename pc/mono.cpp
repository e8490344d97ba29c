// The mono text screen: 80 columns by 25 rows of (character, attribute)
// cells. The display adapter's text memory is not ours to write here, so each
// of its two pages (monochrome and colour text memory) is an off-screen
// buffer; the screen base only selects between them.
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "vorl/pagemem.h"
#include "vorl/mutex.h"
#include "vorl/print.h"

int32_t MONO_level = 2;

static uint8_t pages[2][MONO_BYTES];
static uint8_t* screen = pages[0];
static int32_t cursor = 1920;
static uint8_t attribute = 0x07;
static uint8_t tabwidth = 8;
static uint8_t toprow = 0;
static std::atomic<MUTEX*> monomutex{nullptr};

static MUTEX* lockscreen(void)
{
    MUTEX* mutex = monomutex.load();
    if (!mutex) {
        MUTEX* fresh = MUTEX_alloc();
        if (monomutex.compare_exchange_strong(mutex, fresh))
            mutex = fresh;
        else
            MUTEX_free(fresh);
    }
    if (mutex)
        MUTEX_lock(mutex);
    return mutex;
}

static void unlockscreen(MUTEX* mutex)
{
    if (mutex)
        MUTEX_unlock(mutex);
}

void MONO_setattr(int32_t value) { attribute = static_cast<uint8_t>(value); }

void MONO_settab(int32_t width)
{
    if (width >= 1)
        tabwidth = static_cast<uint8_t>(width);
}

void MONO_setpage(int32_t page)
{
    // Page 0 is at 0xB0000 and page 1 at 0xB8000; no other page exists.
    if (page == 0 || page == 1)
        screen = pages[page];
}

void MONO_settop(int32_t row)
{
    MUTEX* mutex = lockscreen();
    if (row >= 0 && row < MONO_ROWS)
        toprow = static_cast<uint8_t>(row);
    unlockscreen(mutex);
}

void MONO_clear(void)
{
    MUTEX* mutex = lockscreen();
    if (MONO_level >= 2)
        MEM_fill(screen, 0, MONO_BYTES);
    unlockscreen(mutex);
}

void MONO_scroll(void)
{
    MUTEX* mutex = lockscreen();
    if (cursor >= MONO_BYTES) {
        const int32_t row = MONO_COLUMNS * 2;
        // Rows move up one at a time, so the forward copy never reads a row
        // it has already overwritten.
        MEM_copy(screen + toprow * row, screen + (toprow + 1) * row, (MONO_ROWS - 1 - toprow) * row);
        MEM_fill(screen + (MONO_ROWS - 1) * row, 0, row);
        cursor = (MONO_ROWS - 1) * row;
    }
    unlockscreen(mutex);
}

static void writechar(uint8_t c)
{
    const int32_t row = MONO_COLUMNS * 2;
    switch (c) {
    case 8:
        if (cursor > 0)
            cursor -= 2;
        break;
    case 9:
        if (tabwidth >= 2) {
            int32_t start = cursor / row * row;
            int32_t column = (cursor - start) / 2;
            cursor = start + (column / tabwidth + 1) * tabwidth * 2;
        }
        break;
    case 10:
        cursor = (cursor / row + 1) * row;
        if (cursor >= MONO_BYTES)
            MONO_scroll();
        break;
    case 11: cursor = toprow * row; break;
    case 12:
        MONO_clear();
        cursor = toprow * row;
        break;
    default:
        if (c >= 0x20) {
            if (cursor >= MONO_BYTES)
                MONO_scroll();
            screen[cursor] = c;
            screen[cursor + 1] = attribute;
            cursor += 2;
        }
        break;
    }
}

void MONO_write(const char* text)
{
    MUTEX* mutex = lockscreen();
    if (MONO_level >= 2) {
        for (const char* p = text; *p; p++) {
            if (*p == 0x0E) {
                if (!p[1])
                    break;
                MONO_setattr(static_cast<uint8_t>(*++p));
                continue;
            }
            writechar(static_cast<uint8_t>(*p));
        }
    }
    unlockscreen(mutex);
}

static int32_t printformatted(const char* format, va_list args)
{
    char text[256];
    vsnprintf(text, sizeof text, format, args);
    MONO_write(text);
    return 0;
}

int32_t MONO_print(const char* format, ...)
{
    MUTEX* mutex = lockscreen();
    if (MONO_level >= 2) {
        va_list args;
        va_start(args, format);
        printformatted(format, args);
        va_end(args);
    }
    unlockscreen(mutex);
    return 0;
}

int32_t MONO_printat(int32_t column, int32_t row, const char* format, ...)
{
    MUTEX* mutex = lockscreen();
    if (MONO_level >= 2) {
        if (column >= 0 && column < MONO_COLUMNS && row >= 0 && row < MONO_ROWS)
            cursor = (row * MONO_COLUMNS + column) * 2;
        va_list args;
        va_start(args, format);
        printformatted(format, args);
        va_end(args);
    }
    unlockscreen(mutex);
    return 0;
}

int32_t PRINT_mono(int32_t channel, const char* text)
{
    MONO_write(text);
    return 0;
}

int32_t MONO_getcursor(void) { return cursor; }

void MONO_setcursor(int32_t offset)
{
    if (offset >= 0 && offset <= MONO_BYTES)
        cursor = offset & ~1;
}

uint8_t* MONO_screen(void) { return screen; }
