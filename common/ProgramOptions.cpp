#include "ProgramOptions.h"

#include <cstdio>
#include <cstring>

bool answerProgramOptions(int argc, char **argv, const ProgramInfo &info)
{
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        // "--" ends the options: what follows is a file name, even one called "--help".
        if (std::strcmp(a, "--") == 0)
            return false;
        if (std::strcmp(a, "--version") == 0) {
            std::printf("%s %s\n", info.name, info.version);
            std::fflush(stdout);
            return true;
        }
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            std::fputs(info.usage, stdout);
            std::fflush(stdout);
            return true;
        }
    }
    return false;
}

int argumentsBeforeDoubleDash(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--") == 0)
            return i;
    return argc;
}
