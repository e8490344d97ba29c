// The buttons of a message box and the box as text, one description for both
// systems: our POSIX MessageBoxA (platform/posix/pwui.cpp) shows and answers
// boxes with it, and on Windows the library's box (pc/sysplat.cpp) uses it to
// write a box that nobody can answer and to take that box's least
// destructive answer. A Windows build compiles no platform source, so it is
// all inline here; posix/pwui.h and win/pwui.h include it after the MB_ and
// ID constants it needs.
#ifndef VORL_PWBOX_H
#define VORL_PWBOX_H

#ifdef __cplusplus

#include <string>

// The buttons of a box style: their answers in the order shown, and the
// answer the box takes when nobody can answer it.
struct PW_BOXBUTTONS {
    int answers[3];
    int count;
    int unattended;
};

static inline PW_BOXBUTTONS PW_boxbuttons(UINT type)
{
    switch (type & 0xFu) {
    case MB_OKCANCEL: return {{IDOK, IDCANCEL, 0}, 2, IDCANCEL};
    case MB_ABORTRETRYIGNORE: return {{IDABORT, IDRETRY, IDIGNORE}, 3, IDIGNORE};
    case MB_YESNOCANCEL: return {{IDYES, IDNO, IDCANCEL}, 3, IDCANCEL};
    case MB_YESNO: return {{IDYES, IDNO, 0}, 2, IDNO};
    case MB_RETRYCANCEL: return {{IDRETRY, IDCANCEL, 0}, 2, IDCANCEL};
    default: return {{IDOK, 0, 0}, 1, IDOK};
    }
}

// The label of an answer ("?" for a value that is none).
static inline const char* PW_boxanswername(int answer)
{
    static const char* const names[] = {"?", "OK", "Cancel", "Abort", "Retry", "Ignore", "Yes", "No"};
    return answer >= IDOK && answer <= IDNO ? names[answer] : names[0];
}

// The box as it is written to standard error: a line with the caption, the
// text, and a line with the buttons ("[OK] [Cancel]").
static inline std::string PW_boxtext(const char* text, const char* caption, const PW_BOXBUTTONS& buttons)
{
    std::string box = "\n*** ";
    box += caption != nullptr ? caption : "Error";
    box += " ***\n";
    box += text != nullptr ? text : "";
    if (box.back() != '\n')
        box += '\n';
    for (int i = 0; i < buttons.count; i++) {
        box += i == 0 ? "[" : " [";
        box += PW_boxanswername(buttons.answers[i]);
        box += ']';
    }
    box += '\n';
    return box;
}

#endif

#endif
