// Drives the print router with arbitrary bytes: values for "PRINT_CHANNEL"
// and "PRINT_DEVICE" (set, changed and removed along the way), channel and
// device names installed with PRINT_setchannelname and PRINT_setdevice, and a
// sequence of switches, prints, direct device calls, lookups by name and
// resets. Every device slot holds a recording routine (or none), and a small
// model of the router kept here from its documented rules says, after every
// call, which channels and devices are on, which devices receive which text
// on which channel, and which entry a word names. Prints carry "%s" arguments
// long enough to overflow the 2048-byte message buffer, so the text each
// device gets must be the first 2047 characters of the message. Out-of-range
// channel and device numbers must print one assertion line on the "alert"
// channel, ask the box once and change nothing.
//
// Input: a flag byte (bit 0: "PRINT_CHANNEL" set, bit 1: "PRINT_DEVICE" set),
// the two values as lines, then operations, each an opcode byte followed by
// its argument bytes and lines (see run below).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "platform/vplatform.h"
#include "vorl/print.h"

namespace {

const size_t TEXTMAX = 2047;
const size_t LINEMAX = 5000;
const int MAXOPS = 200;
const int RECORDERS = 8;

const char* const CHANNELNAMES[16] = {"all",      "vorl", "alert", "general", "memory", "connection",
                                      "graphics", "file", "input", "system",  "3d",     "font",
                                      "codec",    "math", "ozri",  "capture"};
const char* const DEVICENAMES[3] = {"mono", "console", "debugger"};
const char CHANNELASSERTION[] = "(channel >= 0) && (channel < PRINT_MAX_CHANNELS)";
const char DEVICEASSERTION[] = "(device >= 0) && (device < PRINT_MAX_DEVICES)";

void fail(const char* what, int detail = 0)
{
    fprintf(stderr, "print: %s (%d)\n", what, detail);
    abort();
}

// What the recording routines received, and what the model says they should
// have received, since the last comparison.
struct DELIVERY {
    int32_t recorder;
    int32_t channel;
    std::string text;
    bool assertion;  // expected only: an assertion line with this expression
};
std::vector<DELIVERY> received;
std::vector<DELIVERY> expected;
int32_t boxes = 0;

template <int32_t RECORDER>
int32_t record(int32_t channel, const char* text)
{
    size_t length = strlen(text);
    if (length > TEXTMAX)
        fail("a device received more than 2047 characters", static_cast<int>(length));
    received.push_back({RECORDER, channel, std::string(text, length), false});
    return 1000 + RECORDER;
}

const PRINTROUTINE recorders[RECORDERS] = {record<0>, record<1>, record<2>, record<3>,
                                           record<4>, record<5>, record<6>, record<7>};

int answerbox(const char* text, const char*, UINT)
{
    if (!strstr(text, "Assertion Failed!"))
        fail("a box that is not an assertion");
    boxes++;
    return IDIGNORE;
}

// The assertion box also writes its text to standard error; for the
// out-of-range calls, which the fuzzer makes by the thousand, that text goes
// to /dev/null while the call runs.
int nulldescriptor = -1;

struct QUIET {
    int saved = -1;
    explicit QUIET(bool quiet)
    {
        if (!quiet)
            return;
        fflush(stderr);
        saved = dup(2);
        dup2(nulldescriptor, 2);
    }
    ~QUIET()
    {
        if (saved < 0)
            return;
        dup2(saved, 2);
        close(saved);
    }
};

// ---- The model ----

struct MODEL {
    bool initialised;
    bool channelnamed[PRINT_MAX_CHANNELS];
    std::string channelname[PRINT_MAX_CHANNELS];
    bool channelon[PRINT_MAX_CHANNELS];
    bool library[PRINT_MAX_CHANNELS];
    bool devicenamed[PRINT_MAX_DEVICES];
    std::string devicename[PRINT_MAX_DEVICES];
    int32_t routine[PRINT_MAX_DEVICES];  // recorder number, -1 for none
    bool deviceon[PRINT_MAX_DEVICES];
} model;

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

int32_t agreement(const std::string& name, const std::string& word)
{
    size_t n = 0;
    while (n < name.size() && n < word.size() && fold(name[n]) == fold(word[n]))
        n++;
    return static_cast<int32_t>(n);
}

int32_t modelfind(const bool* named, const std::string* names, int32_t count, const std::string& word)
{
    int32_t best = -1;
    int32_t bestlength = 0;
    for (int32_t i = 0; i < count; i++) {
        if (!named[i])
            continue;
        int32_t length = agreement(names[i], word);
        if (length > bestlength) {
            best = i;
            bestlength = length;
        }
    }
    return best;
}

void modelswitch(int32_t channel, bool on)
{
    for (int32_t i = 0; i < PRINT_MAX_CHANNELS; i++)
        if (channel == 0 || (channel == 1 && model.library[i]) || i == channel)
            model.channelon[i] = on;
}

void modelapply(bool channels)
{
    const char* value = getenv(channels ? "PRINT_CHANNEL" : "PRINT_DEVICE");
    if (!value)
        return;
    std::string copy;
    for (size_t i = 0; value[i] && i < 255; i++)
        copy += fold(value[i]);
    std::string delimiters = channels ? " ,;" : " ,";
    size_t at = 0;
    while (at < copy.size()) {
        size_t end = at;
        while (end < copy.size() && delimiters.find(copy[end]) == std::string::npos)
            end++;
        std::string word = copy.substr(at, end - at);
        at = end + 1;
        if (word.empty())
            continue;
        bool off = word[0] == '-' || (channels && word[0] == '!');
        std::string name = off ? word.substr(1) : word;
        if (channels) {
            int32_t channel = modelfind(model.channelnamed, model.channelname, PRINT_MAX_CHANNELS, name);
            if (channel >= 0)
                modelswitch(channel, !off);
        } else {
            int32_t device = modelfind(model.devicenamed, model.devicename, PRINT_MAX_DEVICES, name);
            if (device >= 0)
                model.deviceon[device] = !off;
        }
    }
}

void modelinit();

void modelenablechannel(int32_t channel, bool on)
{
    modelinit();
    modelswitch(channel, on);
    modelapply(true);
}

void modelenabledevice(int32_t device, bool on)
{
    modelinit();
    if (model.routine[device] < 0)
        return;
    model.deviceon[device] = on;
    modelapply(false);
}

void modelinit()
{
    if (model.initialised)
        return;
    model.initialised = true;
    for (bool& on : model.channelon)
        on = false;
    for (bool& on : model.deviceon)
        on = false;
    for (int32_t i = 3; i < PRINT_MAX_DEVICES; i++) {
        model.devicenamed[i] = false;
        model.routine[i] = -1;
    }
    for (int32_t i = 16; i < PRINT_MAX_CHANNELS; i++) {
        model.channelnamed[i] = false;
        model.library[i] = false;
    }
    modelenablechannel(PRINT_ALERT, true);
    modelenabledevice(PRINT_DEVCONSOLE, true);
}

void modelprint(int32_t channel, const std::string& text, bool assertion)
{
    modelinit();
    if (!model.channelon[channel])
        return;
    for (int32_t device = 0; device < PRINT_MAX_DEVICES; device++)
        if (model.deviceon[device] && model.routine[device] >= 0)
            expected.push_back({model.routine[device], channel, text.substr(0, TEXTMAX), assertion});
}

// An out-of-range number: one assertion line on the alert channel and one box.
void modelassertion(const char* expression, int32_t& expectedboxes)
{
    modelprint(PRINT_ALERT, expression, true);
    expectedboxes++;
}

// ---- Comparisons ----

// "cmn/printstr(<line>) : Assertion Failed: <expression>\n"
bool isassertionline(const std::string& text, const std::string& expression)
{
    const std::string head = "cmn/printstr(";
    const std::string tail = ") : Assertion Failed: " + expression + "\n";
    if (text.size() <= head.size() + tail.size() || text.compare(0, head.size(), head) != 0 ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    for (size_t i = head.size(); i < text.size() - tail.size(); i++)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

void comparedeliveries(int32_t op)
{
    if (received.size() != expected.size())
        fail("a message reached a different number of devices", op);
    for (size_t i = 0; i < received.size(); i++) {
        const DELIVERY& got = received[i];
        const DELIVERY& want = expected[i];
        if (got.recorder != want.recorder)
            fail("a message reached another device", op);
        if (got.channel != want.channel)
            fail("a device was given another channel number", op);
        if (want.assertion ? !isassertionline(got.text, want.text) : got.text != want.text)
            fail("a device received other text", op);
    }
    received.clear();
    expected.clear();
}

void comparestate(int32_t op)
{
    if (!model.initialised)
        return;
    for (int32_t channel = 0; channel < PRINT_MAX_CHANNELS; channel++)
        if (PRINT_ischannelenabled(channel) != (model.channelon[channel] ? 1 : 0))
            fail("a channel's switch differs", op * 100 + channel);
    for (int32_t device = 0; device < PRINT_MAX_DEVICES; device++)
        if (PRINT_isdeviceenabled(device) != (model.deviceon[device] ? 1 : 0))
            fail("a device's switch differs", op * 100 + device);
}

// ---- Input ----

struct READER {
    const uint8_t* data;
    size_t length;
    size_t at;

    bool more() const { return at < length; }
    uint8_t byte() { return at < length ? data[at++] : 0; }
    // A line, up to '\n' or the end of the input, cut at its first NUL (the
    // way a C string sees it).
    std::string line()
    {
        std::string text;
        while (at < length && data[at] != '\n') {
            if (text.size() < LINEMAX)
                text += static_cast<char>(data[at]);
            at++;
        }
        at++;
        return text.substr(0, strlen(text.c_str()));
    }
};

int32_t channelnumber(uint8_t byte)
{
    static const int32_t outside[8] = {-1, 64, 65, -64, INT32_MIN, INT32_MAX, 1000, -2};
    return byte < 200 ? byte % PRINT_MAX_CHANNELS : outside[byte % 8];
}

int32_t devicenumber(uint8_t byte)
{
    static const int32_t outside[8] = {-1, 8, 9, 64, INT32_MIN, INT32_MAX, -8, 100};
    return byte < 200 ? byte % PRINT_MAX_DEVICES : outside[byte % 8];
}

bool validchannel(int32_t channel) { return channel >= 0 && channel < PRINT_MAX_CHANNELS; }
bool validdevice(int32_t device) { return device >= 0 && device < PRINT_MAX_DEVICES; }

// Names handed to the router must outlive their use: they stay here until
// the next input has put the defaults back.
std::deque<std::string> names;

const char* keep(const std::string& name)
{
    names.push_back(name);
    return names.back().c_str();
}

void setvariable(const char* variable, bool set, const std::string& value)
{
    if (set)
        setenv(variable, value.c_str(), 1);
    else
        unsetenv(variable);
}

// Puts the tables back to the defaults (built-in names, recorders 0 to 2 in
// the built-in slots instead of the real devices) and forgets every setting.
void restore()
{
    for (int32_t i = 0; i < PRINT_MAX_CHANNELS; i++) {
        PRINTchannels[i].name = i < 16 ? CHANNELNAMES[i] : nullptr;
        model.channelnamed[i] = i < 16;
        model.channelname[i] = i < 16 ? CHANNELNAMES[i] : "";
        model.library[i] = i < 16;
    }
    for (int32_t i = 0; i < PRINT_MAX_DEVICES; i++) {
        PRINTdevices[i].name = i < 3 ? DEVICENAMES[i] : nullptr;
        PRINTdevices[i].routine = i < 3 ? recorders[i] : nullptr;
        model.devicenamed[i] = i < 3;
        model.devicename[i] = i < 3 ? DEVICENAMES[i] : "";
        model.routine[i] = i < 3 ? i : -1;
    }
    names.clear();
    unsetenv("PRINT_CHANNEL");
    unsetenv("PRINT_DEVICE");
    PRINT_reset();
    model.initialised = false;
    received.clear();
    expected.clear();
}

// A format made of the line's text in which "%s" takes the next of three
// arguments (at most three) and "%%" stays; any other percent sign is
// doubled. Byte 0x01 stands for a line feed. Gives the format and the text it
// must produce.
void makeformat(const std::string& line, const std::string* arguments, std::string& format, std::string& text)
{
    int used = 0;
    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i] == 1 ? '\n' : line[i];
        if (c != '%') {
            format += c;
            text += c;
        } else if (i + 1 < line.size() && line[i + 1] == '%') {
            format += "%%";
            text += '%';
            i++;
        } else if (i + 1 < line.size() && line[i + 1] == 's' && used < 3) {
            format += "%s";
            text += arguments[used++];
            i++;
        } else {
            format += "%%";
            text += '%';
        }
    }
}

void run(READER& input)
{
    uint8_t flags = input.byte();
    std::string channelvalue = input.line();
    std::string devicevalue = input.line();
    setvariable("PRINT_CHANNEL", flags & 1, channelvalue);
    setvariable("PRINT_DEVICE", flags & 2, devicevalue);

    for (int32_t op = 0; op < MAXOPS && input.more(); op++) {
        int32_t expectedboxes = boxes;
        switch (input.byte() % 11) {
        case 0: {  // switch a channel
            int32_t channel = channelnumber(input.byte());
            bool on = input.byte() & 1;
            {
                QUIET quiet(!validchannel(channel));
                PRINT_enablechannel(channel, on);
            }
            if (validchannel(channel))
                modelenablechannel(channel, on);
            else
                modelassertion(CHANNELASSERTION, expectedboxes);
            break;
        }
        case 1: {  // switch a device
            int32_t device = devicenumber(input.byte());
            bool on = input.byte() & 1;
            {
                QUIET quiet(!validdevice(device));
                PRINT_enabledevice(device, on);
            }
            if (validdevice(device))
                modelenabledevice(device, on);
            else
                modelassertion(DEVICEASSERTION, expectedboxes);
            break;
        }
        case 2: {  // name a channel (or take its name away)
            int32_t channel = channelnumber(input.byte());
            bool none = (input.byte() & 7) == 7;
            std::string name = input.line();
            {
                QUIET quiet(!validchannel(channel));
                PRINT_setchannelname(channel, none ? nullptr : keep(name));
            }
            if (validchannel(channel)) {
                modelinit();
                model.channelnamed[channel] = !none;
                model.channelname[channel] = none ? "" : name;
                modelapply(true);
            } else {
                modelassertion(CHANNELASSERTION, expectedboxes);
            }
            break;
        }
        case 3: {  // install a device: a recorder or no routine, a name or none
            int32_t device = devicenumber(input.byte());
            uint8_t choice = input.byte();
            int32_t recorder = choice % 9 == 8 ? -1 : choice % 9;
            bool none = (choice & 0xF0) == 0xF0;
            std::string name = input.line();
            {
                QUIET quiet(!validdevice(device));
                PRINT_setdevice(device, none ? nullptr : keep(name), recorder < 0 ? nullptr : recorders[recorder]);
            }
            if (validdevice(device)) {
                modelinit();
                model.devicenamed[device] = !none;
                model.devicename[device] = none ? "" : name;
                model.routine[device] = recorder;
                modelapply(false);
            } else {
                modelassertion(DEVICEASSERTION, expectedboxes);
            }
            break;
        }
        case 4: {  // print, with arguments the first of which may repeat to a great length
            int32_t channel = channelnumber(input.byte());
            size_t repeat = input.byte();
            std::string line = input.line();
            std::string arguments[3];
            for (std::string& argument : arguments)
                argument = input.line();
            std::string unit = arguments[0];
            for (size_t i = 1; i < repeat && !unit.empty() && arguments[0].size() < 6000; i++)
                arguments[0] += unit;
            std::string format, text;
            makeformat(line, arguments, format, text);
            {
                QUIET quiet(!validchannel(channel));
                PRINT_printf(channel, format.c_str(), arguments[0].c_str(), arguments[1].c_str(), arguments[2].c_str());
            }
            if (validchannel(channel))
                modelprint(channel, text, false);
            else
                modelassertion(CHANNELASSERTION, expectedboxes);
            break;
        }
        case 5: {  // one device directly, on or off, whatever the channel
            int32_t device = devicenumber(input.byte());
            int32_t channel = input.byte() % PRINT_MAX_CHANNELS;
            std::string text = input.line();
            int32_t result = 0;
            {
                QUIET quiet(!validdevice(device));
                result = PRINT_todevice(device, channel, text.c_str());
            }
            if (validdevice(device)) {
                modelinit();
                int32_t recorder = model.routine[device];
                if (recorder >= 0)
                    expected.push_back({recorder, channel, text, false});
                if (result != (recorder >= 0 ? 1000 + recorder : 0))
                    fail("a direct device call gave another result", op);
            } else {
                modelassertion(DEVICEASSERTION, expectedboxes);
            }
            break;
        }
        case 6:
            PRINT_reset();
            model.initialised = false;
            break;
        case 7: {
            bool set = !(input.byte() & 1);
            setvariable("PRINT_CHANNEL", set, input.line());
            break;
        }
        case 8: {
            bool set = !(input.byte() & 1);
            setvariable("PRINT_DEVICE", set, input.line());
            break;
        }
        case 9: {
            std::string word = input.line();
            int32_t found = PRINT_findchannel(word.c_str());
            modelinit();
            if (found != modelfind(model.channelnamed, model.channelname, PRINT_MAX_CHANNELS, word))
                fail("a word found another channel", op);
            break;
        }
        case 10: {
            std::string word = input.line();
            int32_t found = PRINT_finddevice(word.c_str());
            modelinit();
            if (found != modelfind(model.devicenamed, model.devicename, PRINT_MAX_DEVICES, word))
                fail("a word found another device", op);
            break;
        }
        }
        if (boxes != expectedboxes)
            fail("assertion boxes differ", op);
        comparedeliveries(op);
        comparestate(op);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length)
{
    static bool started = false;
    if (!started) {
        started = true;
        PW_setboxhook(answerbox);
        nulldescriptor = open("/dev/null", O_WRONLY);
        if (nulldescriptor < 0)
            fail("no /dev/null");
    }
    restore();
    READER input{data, length, 0};
    run(input);
    restore();
    return 0;
}
