// Print channels, devices, the environment's last word, and the mono screen.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "envvars.h"
#include "vorl/print.h"

namespace {

std::vector<std::string> received;

int32_t recorddevice(int32_t channel, const char* text)
{
    received.push_back(std::to_string(channel) + ":" + text);
    return 1;
}

std::string printed(const std::function<void()>& print)
{
    testing::internal::CaptureStdout();
    print();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

class Print : public testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("PRINT_CHANNEL");
        unsetenv("PRINT_DEVICE");
        PRINT_reset();
        received.clear();
    }
    void TearDown() override { SetUp(); }
};

TEST_F(Print, DefaultsSendOnlyAlertsToTheConsoleAndRefuseOutOfRangeNumbers)
{
    for (int32_t channel = 0; channel < PRINT_MAX_CHANNELS; channel++)
        EXPECT_EQ(PRINT_ischannelenabled(channel), channel == PRINT_ALERT ? 1 : 0) << channel;
    for (int32_t device = 0; device < PRINT_MAX_DEVICES; device++)
        EXPECT_EQ(PRINT_isdeviceenabled(device), device == PRINT_DEVCONSOLE ? 1 : 0) << device;
    // Out-of-range numbers are reported and change nothing.
    std::string out = printed([] {
        PRINT_printf(PRINT_ALERT, "alert %d\n", 1);
        PRINT_printf(PRINT_MEMORY, "memory %d\n", 2);
        PRINT_enablechannel(64, 1);
        PRINT_enabledevice(-1, 1);
        PRINT_printf(-5, "lost\n");
    });
    EXPECT_EQ(out.find("alert 1\ncmn/printstr("), 0u);
    EXPECT_NE(out.find("Assertion Failed: (channel >= 0) && (channel < PRINT_MAX_CHANNELS)"), std::string::npos);
    EXPECT_NE(out.find("Assertion Failed: (device >= 0) && (device < PRINT_MAX_DEVICES)"), std::string::npos);
    EXPECT_EQ(out.find("memory"), std::string::npos);
    EXPECT_EQ(out.find("lost"), std::string::npos);
}

TEST_F(Print, DevicesGetTheTextUnchangedAndGroupsSwitchChannels)
{
    PRINT_setdevice(3, "recorder", recorddevice);
    PRINT_enabledevice(3, 1);
    PRINT_enabledevice(PRINT_DEVCONSOLE, 0);
    PRINT_printf(PRINT_ALERT, "open %s failed\n", "C:\\100%sure.sav");
    EXPECT_EQ(received, std::vector<std::string>{"2:open C:\\100%sure.sav failed\n"});
    EXPECT_EQ(PRINT_todevice(3, PRINT_FILE, "direct"), 1);
    EXPECT_EQ(PRINT_todevice(4, PRINT_FILE, "empty slot"), 0);
    EXPECT_EQ(received.back(), "7:direct");
    PRINT_printf(PRINT_ALERT, "%s", std::string(3000, 'x').c_str());
    EXPECT_EQ(received.back(), "2:" + std::string(2047, 'x'));

    PRINT_setchannelname(20, "game");
    PRINT_enablechannel(PRINT_VORL, 1);
    for (int32_t channel = 0; channel < PRINT_MAX_CHANNELS; channel++)
        EXPECT_EQ(PRINT_ischannelenabled(channel), channel < 16 ? 1 : 0) << channel;
    PRINT_enablechannel(PRINT_ALL, 1);
    for (int32_t channel = 0; channel < PRINT_MAX_CHANNELS; channel++)
        EXPECT_EQ(PRINT_ischannelenabled(channel), 1) << channel;
    PRINT_enablechannel(PRINT_ALL, 0);
    EXPECT_EQ(PRINT_ischannelenabled(PRINT_ALERT), 0);
    // A reset forgets the program's names and devices.
    PRINT_reset();
    EXPECT_EQ(PRINT_findchannel("game"), PRINT_GENERAL);
    EXPECT_EQ(PRINT_finddevice("recorder"), -1);
}

TEST_F(Print, TheEnvironmentHasTheLastWordAndNamesMayBeAbbreviated)
{
    setenv("PRINT_CHANNEL", "memory;-alert", 1);
    PRINT_enablechannel(PRINT_ALERT, 1);
    PRINT_enablechannel(PRINT_MEMORY, 0);
    EXPECT_EQ(PRINT_ischannelenabled(PRINT_MEMORY), 1);
    EXPECT_EQ(PRINT_ischannelenabled(PRINT_ALERT), 0);
    setenv("PRINT_DEVICE", "DEB, -con", 1);
    PRINT_reset();
    PRINT_enabledevice(PRINT_DEVCONSOLE, 1);
    EXPECT_EQ(PRINT_isdeviceenabled(PRINT_DEVDEBUGGER), 1);
    EXPECT_EQ(PRINT_isdeviceenabled(PRINT_DEVCONSOLE), 0);
    // A device installed later can be switched on by the environment.
    setenv("PRINT_DEVICE", "rec", 1);
    PRINT_setdevice(5, "recorder", recorddevice);
    EXPECT_EQ(PRINT_isdeviceenabled(5), 1);

    const std::pair<const char*, int32_t> channels[] = {
        {"g", PRINT_GENERAL}, {"gr", PRINT_GRAPHICS}, {"FILEsystem", PRINT_FILE}, {"zebra", -1}};
    for (auto [word, channel] : channels)
        EXPECT_EQ(PRINT_findchannel(word), channel) << word;
    EXPECT_EQ(PRINT_finddevice("con"), PRINT_DEVCONSOLE);
    EXPECT_EQ(PRINT_matchlength("console", "CONSOLE"), 7);
    EXPECT_EQ(PRINT_matchlength(nullptr, "x"), 0);
    setenv("PRINT_CHANNEL", "g,,zz gr", 1);
    PRINT_reset();
    for (int32_t channel : {PRINT_GENERAL, PRINT_GRAPHICS, PRINT_ALERT})
        EXPECT_EQ(PRINT_ischannelenabled(channel), 1) << channel;
    setenv("PRINT_CHANNEL", "game", 1);
    PRINT_setchannelname(20, "game");
    EXPECT_EQ(PRINT_ischannelenabled(20), 1) << "a channel named later is switched on by the environment";
}

// The mono screen, cleared, with the top row 0 and tabs every 8 columns.
class Mono : public testing::Test {
protected:
    void SetUp() override
    {
        MONO_setpage(0);
        MONO_settop(0);
        MONO_settab(8);
        MONO_setattr(0x07);
        MONO_write("\f");
    }
    uint8_t cell(int row, int column, int part = 0) { return MONO_screen()[(row * 80 + column) * 2 + part]; }
};

TEST_F(Mono, ScrollingTabsBackspacesAndAttributes)
{
    // A line feed on the last row scrolls.
    MONO_setcursor(24 * 160);
    MONO_write("ab\nc");
    EXPECT_EQ(std::string({char(cell(23, 0)), char(cell(23, 1)), char(cell(24, 0)), char(cell(24, 1))}),
              std::string("abc\0", 4));
    EXPECT_EQ(MONO_getcursor(), 24 * 160 + 2);
    // Filling the last cell scrolls only when the next character comes.
    MONO_setcursor(24 * 160 + 79 * 2);
    MONO_write("z");
    EXPECT_EQ(MONO_getcursor(), 4000);
    MONO_write("y");
    EXPECT_EQ(cell(23, 79), 'z');
    EXPECT_EQ(cell(24, 0), 'y');
    // Pages 0 and 1 are two screens; any other page number changes nothing.
    uint8_t* first = MONO_screen();
    for (int32_t page : {1, 2, -1})
        MONO_setpage(page);
    EXPECT_NE(MONO_screen(), first);
    MONO_setpage(0);
    EXPECT_EQ(MONO_screen(), first);

    // cursor before, tab width, cursor after (a width of 0 is ignored)
    const int tabs[][3] = {{3 * 2, 8, 8 * 2}, {78 * 2, 0, 160}, {8 * 2, 1, 8 * 2}};
    for (const auto& tab : tabs) {
        MONO_setcursor(tab[0]);
        MONO_settab(tab[1]);
        MONO_write("\t");
        EXPECT_EQ(MONO_getcursor(), tab[2]) << tab[0] << " " << tab[1];
    }
    MONO_setcursor(0);
    MONO_write("\b\x0e\x70X\x01Y");
    EXPECT_EQ(cell(0, 0), 'X');
    EXPECT_EQ(cell(0, 0, 1), 0x70);
    EXPECT_EQ(cell(0, 1), 'Y');
    EXPECT_EQ(MONO_getcursor(), 4);
    MONO_write("\b\bW");
    EXPECT_EQ(cell(0, 0), 'W');
}

TEST_F(Mono, TopRowFormFeedLevelAndTheMonoDevice)
{
    MONO_printat(0, 2, "keep");
    MONO_settop(5);
    MONO_printat(0, 6, "moves");
    MONO_setcursor(24 * 160);
    MONO_write("\n");
    EXPECT_EQ(cell(2, 0), 'k') << "rows above the top stay";
    EXPECT_EQ(cell(5, 0), 'm');
    EXPECT_EQ(cell(6, 0), 0);
    MONO_write("\vT");
    EXPECT_EQ(cell(5, 0), 'T');
    MONO_write("\f");
    EXPECT_EQ(cell(2, 0), 0);
    EXPECT_EQ(MONO_getcursor(), 5 * 160);
    MONO_printat(80, 0, "%s", "stay");  // out of range: the cursor stays
    EXPECT_EQ(cell(5, 0), 's');
    MONO_printat(3, 0, "r");
    EXPECT_EQ(cell(0, 3), 'r') << "row 0 is in range";
    MONO_level = 1;
    MONO_printat(0, 0, "hidden");
    MONO_level = 2;
    EXPECT_EQ(cell(0, 0), 0);

    std::thread([] { MONO_write("\f"); }).join();  // each clear gave the screen's lock back
    SetUp();
    PRINT_reset();
    PRINT_enabledevice(PRINT_DEVMONO, 1);
    PRINT_enabledevice(PRINT_DEVCONSOLE, 0);
    PRINT_printf(PRINT_ALERT, "%s", "100%s");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(MONO_screen()), 9), std::string("1\a0\a0\a%\as", 9));
    PRINT_reset();
}

}  // namespace
