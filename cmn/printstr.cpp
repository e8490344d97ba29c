// The print router: a message printed on a channel that is on is formatted
// once and handed to every device that is on. Channels and devices are
// switched by the program and, with the last word, by the environment
// variables "PRINT_CHANNEL" and "PRINT_DEVICE", whose words name entries by
// (possibly abbreviated) name.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmn/atomics.h"
#include "vorl/alert.h"
#include "vorl/print.h"

static const char MODULE_FILE[] = "cmn/printstr";

PRINTCHANNEL PRINTchannels[PRINT_MAX_CHANNELS] = {
    {"all", PC_LIBRARY},    {"vorl", PC_LIBRARY},       {"alert", PC_LIBRARY},    {"general", PC_LIBRARY},
    {"memory", PC_LIBRARY}, {"connection", PC_LIBRARY}, {"graphics", PC_LIBRARY}, {"file", PC_LIBRARY},
    {"input", PC_LIBRARY},  {"system", PC_LIBRARY},     {"3d", PC_LIBRARY},       {"font", PC_LIBRARY},
    {"codec", PC_LIBRARY},  {"math", PC_LIBRARY},       {"ozri", PC_LIBRARY},     {"capture", PC_LIBRARY},
};

PRINTDEVICE PRINTdevices[PRINT_MAX_DEVICES] = {
    {"mono", PRINT_mono, 0},
    {"console", PRINT_console, 0},
    {"debugger", PRINT_debugger, 0},
};

// 0 before initialisation, 1 while one thread initialises, 2 after. Other
// threads that print meanwhile wait for the tables to be whole.
static std::atomic<int32_t> tablestate{0};
static thread_local bool initialising = false;

static int32_t checkchannel(int32_t channel)
{
    return ASSERT_check(channel >= 0 && channel < PRINT_MAX_CHANNELS, MODULE_FILE, __LINE__,
                        "(channel >= 0) && (channel < PRINT_MAX_CHANNELS)");
}

static int32_t checkdevice(int32_t device)
{
    return ASSERT_check(device >= 0 && device < PRINT_MAX_DEVICES, MODULE_FILE, __LINE__,
                        "(device >= 0) && (device < PRINT_MAX_DEVICES)");
}

// Any thread may switch and print at once: the flag words are read and
// written whole, so a printing thread sees either the old or the new switch.
static void setflag(uint32_t* flags, uint32_t bit, int32_t on)
{
    if (on)
        ATOMIC_setbits(flags, bit);
    else
        ATOMIC_clearbits(flags, bit);
}

static uint32_t flagsof(const uint32_t* flags) { return ATOMIC_peek(flags); }

// Switches a channel with the group rules: 0 is every channel, 1 every
// library channel.
static void switchchannel(int32_t channel, int32_t on)
{
    for (int32_t i = 0; i < PRINT_MAX_CHANNELS; i++) {
        bool member = channel == 0 || (channel == 1 && (flagsof(&PRINTchannels[i].flags) & PC_LIBRARY)) || i == channel;
        if (member)
            setflag(&PRINTchannels[i].flags, PC_ENABLED, on);
    }
}

int32_t PRINT_matchlength(const char* name, const char* word)
{
    if (!name || !word)
        return 0;
    int32_t length = 0;
    while (name[length] && word[length]) {
        char a = name[length], b = word[length];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b - 'A' + 'a');
        if (a != b)
            break;
        length++;
    }
    return length;
}

static int32_t findbyname(const char* word, int32_t count, const char* (*nameof)(int32_t))
{
    int32_t best = -1, bestlength = 0;
    for (int32_t i = 0; i < count; i++) {
        int32_t length = PRINT_matchlength(nameof(i), word);
        if (length > bestlength) {
            best = i;
            bestlength = length;
        }
    }
    return best;
}

static const char* channelname(int32_t i) { return PRINTchannels[i].name; }
static const char* devicename(int32_t i) { return PRINTdevices[i].name; }

int32_t PRINT_findchannel(const char* word)
{
    PRINT_init();
    return findbyname(word, PRINT_MAX_CHANNELS, channelname);
}

int32_t PRINT_finddevice(const char* word)
{
    PRINT_init();
    return findbyname(word, PRINT_MAX_DEVICES, devicename);
}

// Applies one variable's words, in order. Words are split at any delimiter;
// a leading "-" (or, for channels, "!") switches the entry off.
static void applyvariable(const char* variable, const char* delimiters, const char* offprefixes, bool channels)
{
    const char* value = getenv(variable);
    if (!value)
        return;
    char copy[256];
    size_t length = 0;
    for (; value[length] && length < sizeof copy - 1; length++) {
        char c = value[length];
        copy[length] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    copy[length] = 0;

    char* word = copy;
    while (*word) {
        size_t wordlength = strcspn(word, delimiters);
        char* next = word + wordlength;
        if (*next)
            *next++ = 0;
        if (wordlength > 0) {
            int32_t on = strchr(offprefixes, word[0]) ? 0 : 1;
            const char* name = on ? word : word + 1;
            if (channels) {
                int32_t channel = PRINT_findchannel(name);
                if (channel >= 0)
                    switchchannel(channel, on);
            } else {
                int32_t device = PRINT_finddevice(name);
                if (device >= 0)
                    setflag(&PRINTdevices[device].flags, PD_ENABLED, on);
            }
        }
        word = next;
    }
}

static void applychannels(void) { applyvariable("PRINT_CHANNEL", " ,;", "-!", true); }

static void applydevices(void) { applyvariable("PRINT_DEVICE", " ,", "-", false); }

void PRINT_init(void)
{
    if (initialising || tablestate.load(std::memory_order_acquire) == 2)
        return;
    int32_t expected = 0;
    if (!tablestate.compare_exchange_strong(expected, 1)) {
        while (tablestate.load(std::memory_order_acquire) == 1)
            std::atomic_signal_fence(std::memory_order_seq_cst);
        return;
    }
    initialising = true;
    for (PRINTDEVICE& device : PRINTdevices)
        setflag(&device.flags, PD_ENABLED, 0);
    for (PRINTCHANNEL& channel : PRINTchannels)
        setflag(&channel.flags, PC_ENABLED, 0);
    for (int32_t i = 3; i < PRINT_MAX_DEVICES; i++) {
        PRINTdevices[i].name = nullptr;
        PRINTdevices[i].routine = nullptr;
    }
    for (int32_t i = 16; i < PRINT_MAX_CHANNELS; i++) {
        PRINTchannels[i].name = nullptr;
        setflag(&PRINTchannels[i].flags, PC_LIBRARY, 0);
    }
    PRINT_enablechannel(PRINT_ALERT, 1);
    PRINT_enabledevice(PRINT_DEVCONSOLE, 1);
    initialising = false;
    tablestate.store(2, std::memory_order_release);
}

void PRINT_reset(void) { tablestate.store(0, std::memory_order_release); }

int32_t PRINT_printf(int32_t channel, const char* format, ...)
{
    if (!checkchannel(channel))
        return 0;
    PRINT_init();
    if (!(flagsof(&PRINTchannels[channel].flags) & PC_ENABLED))
        return 0;

    char text[2048];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format ? format : "", args);
    va_end(args);
    if (length < 0)
        return 0;
    for (const PRINTDEVICE& device : PRINTdevices) {
        if ((flagsof(&device.flags) & PD_ENABLED) && device.routine)
            device.routine(channel, text);
    }
    return length < static_cast<int>(sizeof text) ? length : static_cast<int>(sizeof text) - 1;
}

void PRINT_enabledevice(int32_t device, int32_t on)
{
    if (!checkdevice(device))
        return;
    PRINT_init();
    if (!PRINTdevices[device].routine)
        return;
    setflag(&PRINTdevices[device].flags, PD_ENABLED, on);
    applydevices();
}

int32_t PRINT_isdeviceenabled(int32_t device)
{
    if (!checkdevice(device))
        return 0;
    PRINT_init();
    return (flagsof(&PRINTdevices[device].flags) & PD_ENABLED) ? 1 : 0;
}

void PRINT_setdevice(int32_t device, const char* name, PRINTROUTINE routine)
{
    if (!checkdevice(device))
        return;
    PRINT_init();
    PRINTdevices[device].name = name;
    PRINTdevices[device].routine = routine;
    applydevices();
}

int32_t PRINT_todevice(int32_t device, int32_t channel, const char* text)
{
    if (!checkdevice(device))
        return 0;
    PRINT_init();
    PRINTROUTINE routine = PRINTdevices[device].routine;
    return routine ? routine(channel, text) : 0;
}

void PRINT_enablechannel(int32_t channel, int32_t on)
{
    if (!checkchannel(channel))
        return;
    PRINT_init();
    switchchannel(channel, on);
    applychannels();
}

int32_t PRINT_ischannelenabled(int32_t channel)
{
    if (!checkchannel(channel))
        return 0;
    PRINT_init();
    return (flagsof(&PRINTchannels[channel].flags) & PC_ENABLED) ? 1 : 0;
}

void PRINT_setchannelname(int32_t channel, const char* name)
{
    if (!checkchannel(channel))
        return;
    PRINT_init();
    PRINTchannels[channel].name = name;
    applychannels();
}
