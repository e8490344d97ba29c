// The C++ counterpart of examples/hello.c: the same calls, from C++.
#include <cstring>
#include <iostream>
#include <string>

#include "vorl/vorl.h"

int main()
{
    if (std::strcmp(VORL_version(), VORL_VERSION_STRING) != 0)
        return 1;
    if (MEM_init() == 0)
        return 1;
    auto* block = static_cast<char*>(MEM_alloc("greeting", 64, MB_RAM));
    if (!block)
        return 1;
    std::string text = std::string("hello from VORL ") + VORL_VERSION_STRING + " (C++)";
    std::strcpy(block, text.c_str());
    std::cout << block << "\n";
    MEM_free(block);
    MEM_shutdown();
    return 0;
}
