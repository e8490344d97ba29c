/* Print channels and devices: a message printed on a channel that is on goes
 * to every device that is on. "PRINT_CHANNEL" and "PRINT_DEVICE" in the
 * environment switch channels and devices by (abbreviated) name and always
 * have the last word. The mono device writes an 80x25 text screen, kept here
 * in an off-screen buffer. */
#ifndef VORL_PRINT_H
#define VORL_PRINT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PRINT_MAX_CHANNELS 64
#define PRINT_MAX_DEVICES 8

#define PC_ENABLED 0x1u
#define PC_LIBRARY 0x2u
#define PD_ENABLED 0x1u

/* The library's channels. */
#define PRINT_ALL 0
#define PRINT_VORL 1
#define PRINT_ALERT 2
#define PRINT_GENERAL 3
#define PRINT_MEMORY 4
#define PRINT_CONNECTION 5
#define PRINT_GRAPHICS 6
#define PRINT_FILE 7
#define PRINT_INPUT 8
#define PRINT_SYSTEM 9

/* The built-in devices. */
#define PRINT_DEVMONO 0
#define PRINT_DEVCONSOLE 1
#define PRINT_DEVDEBUGGER 2

typedef int32_t (*PRINTROUTINE)(int32_t channel, const char* text);

typedef struct PRINTCHANNEL {
    const char* name;
    uint32_t flags;
} PRINTCHANNEL;

typedef struct PRINTDEVICE {
    const char* name;
    PRINTROUTINE routine;
    uint32_t flags;
} PRINTDEVICE;

extern PRINTCHANNEL PRINTchannels[PRINT_MAX_CHANNELS];
extern PRINTDEVICE PRINTdevices[PRINT_MAX_DEVICES];

void PRINT_init(void);
void PRINT_reset(void);
int32_t PRINT_printf(int32_t channel, const char* format, ...);
void PRINT_enabledevice(int32_t device, int32_t on);
int32_t PRINT_isdeviceenabled(int32_t device);
void PRINT_setdevice(int32_t device, const char* name, PRINTROUTINE routine);
int32_t PRINT_todevice(int32_t device, int32_t channel, const char* text);
void PRINT_enablechannel(int32_t channel, int32_t on);
int32_t PRINT_ischannelenabled(int32_t channel);
void PRINT_setchannelname(int32_t channel, const char* name);
int32_t PRINT_finddevice(const char* word);
int32_t PRINT_findchannel(const char* word);
int32_t PRINT_matchlength(const char* name, const char* word);

/* The built-in device routines. */
int32_t PRINT_console(int32_t channel, const char* text);
int32_t PRINT_debugger(int32_t channel, const char* text);
int32_t PRINT_mono(int32_t channel, const char* text);

/* The mono screen: 80 columns by 25 rows of (character, attribute). */
#define MONO_COLUMNS 80
#define MONO_ROWS 25
#define MONO_BYTES 4000

extern int32_t MONO_level;

int32_t MONO_print(const char* format, ...);
int32_t MONO_printat(int32_t column, int32_t row, const char* format, ...);
void MONO_write(const char* text);
void MONO_clear(void);
void MONO_scroll(void);
void MONO_settop(int32_t row);
void MONO_setattr(int32_t value);
void MONO_settab(int32_t width);
void MONO_setpage(int32_t page);
/* The cursor's byte offset, and the bytes of the current page, which on this
 * system live in an off-screen buffer of their own. */
int32_t MONO_getcursor(void);
void MONO_setcursor(int32_t offset);
uint8_t* MONO_screen(void);

#ifdef __cplusplus
}
#endif

#endif
