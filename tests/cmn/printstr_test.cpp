// Print channels, devices, the environment's last word, and the mono screen.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
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

void resetprint()
{
    unsetenv("PRINT_CHANNEL");
    unsetenv("PRINT_DEVICE");
    PRINT_reset();
}

TEST(Print, ChannelsDevicesAndTheEnvironmentsLastWord)
{
    resetprint();
    // By default only alerts reach only the console; out-of-range numbers are reported.
    testing::internal::CaptureStdout();
    PRINT_printf(PRINT_ALERT, "alert %d\n", 1);
    PRINT_printf(PRINT_MEMORY, "memory\n");
    PRINT_enabledevice(PRINT_MAX_DEVICES, 1);
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.substr(0, out.find('(')), "alert 1\ncmn/printstr");
    EXPECT_EQ(out.substr(out.find(')')), ") : Assertion Failed: (device >= 0) && (device < PRINT_MAX_DEVICES)\n");

    // Devices get the formatted text unchanged.
    PRINT_setdevice(3, "recorder", recorddevice);
    PRINT_enabledevice(3, 1);
    PRINT_enabledevice(PRINT_DEVCONSOLE, 0);
    PRINT_printf(PRINT_ALERT, "open %s failed\n", "C:\\100%sure.sav");
    EXPECT_EQ(received, (std::vector<std::string>{"2:open C:\\100%sure.sav failed\n"}));

    // The environment overrides the program's switches, now and later.
    setenv("PRINT_CHANNEL", "memory;-alert", 1);
    PRINT_enablechannel(PRINT_ALERT, 1);
    PRINT_enablechannel(PRINT_MEMORY, 0);
    EXPECT_EQ(std::pair(PRINT_ischannelenabled(PRINT_MEMORY), PRINT_ischannelenabled(PRINT_ALERT)), std::pair(1, 0));
    setenv("PRINT_DEVICE", "DEB, -rec", 1);
    PRINT_setdevice(5, "recorder", recorddevice);
    EXPECT_EQ(std::pair(PRINT_isdeviceenabled(PRINT_DEVDEBUGGER), PRINT_isdeviceenabled(3)), std::pair(1, 0));
    setenv("PRINT_CHANNEL", "game", 1);
    PRINT_setchannelname(20, "game");
    EXPECT_EQ(PRINT_ischannelenabled(20), 1) << "a channel named later";
    // The longest match wins, whatever the case.
    const std::pair<const char*, int32_t> channels[] = {
        {"g", PRINT_GENERAL}, {"gr", PRINT_GRAPHICS}, {"FILEsystem", PRINT_FILE}, {"zebra", -1}};
    for (auto [word, channel] : channels)
        EXPECT_EQ(PRINT_findchannel(word), channel) << word;
    resetprint();
}

uint8_t cell(int row, int column, int half = 0) { return MONO_screen()[(row * 80 + column) * 2 + half]; }

TEST(Mono, ScrollingTabsTopRowAndTheMonoDevice)
{
    // A line feed on the last row scrolls; a full last cell scrolls only when the next character comes.
    MONO_setcursor(24 * 160);
    MONO_write("ab\nc");
    EXPECT_EQ(std::string({char(cell(23, 0)), char(cell(23, 1)), char(cell(24, 0)), char(cell(24, 1))}),
              std::string("abc\0", 4));
    MONO_setcursor(24 * 160 + 79 * 2);
    MONO_write("z");
    EXPECT_EQ(MONO_getcursor(), 4000);
    MONO_write("y");
    EXPECT_EQ(std::pair(cell(23, 79), cell(24, 0)), std::pair(uint8_t('z'), uint8_t('y')));
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
    MONO_write("\b\x0e\x70X\x01Y\b\bW");
    EXPECT_EQ(std::vector<uint8_t>(MONO_screen(), MONO_screen() + 4), (std::vector<uint8_t>{'W', 0x70, 'Y', 0x70}));

    // Rows above the top row stay put through scrolls, vertical tabs and clears.
    MONO_printat(0, 2, "keep");
    MONO_settop(5);
    MONO_printat(0, 6, "moves");
    MONO_setcursor(24 * 160);
    MONO_write("\n\vT");
    EXPECT_EQ(std::vector<uint8_t>({cell(2, 0), cell(5, 0), cell(5, 1), cell(6, 0)}),
              (std::vector<uint8_t>{'k', 'T', 'o', 0}));
    MONO_write("\f");
    EXPECT_EQ(std::pair(cell(2, 0), MONO_getcursor()), std::pair(uint8_t(0), 5 * 160));
    MONO_printat(80, 0, "%s", "stay");  // out of range: the cursor stays
    MONO_printat(3, 0, "r");
    MONO_level = 1;
    MONO_printat(0, 0, "hidden");
    MONO_level = 2;
    EXPECT_EQ(std::vector<uint8_t>({cell(5, 0), cell(0, 3), cell(0, 0)}), (std::vector<uint8_t>{'s', 'r', 0}));

    std::thread([] { MONO_write("\f"); }).join();  // each call gave the screen's lock back
    MONO_settop(0);
    MONO_setattr(0x07);
    MONO_write("\f");
    resetprint();
    PRINT_enabledevice(PRINT_DEVMONO, 1);
    PRINT_enabledevice(PRINT_DEVCONSOLE, 0);
    PRINT_printf(PRINT_ALERT, "%s", "100%s");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(MONO_screen()), 9), std::string("1\a0\a0\a%\as", 9));
    PRINT_reset();
}

}  // namespace
