// The options every program answers without a window: "--version" prints the program's name
// and version, "--help" (or "-h") one short usage text, both on standard output.
//
// Plain C++ without Qt, so that a program can answer before it creates its application object:
// neither option needs a display.
#pragma once

struct ProgramInfo {
    const char *name;    // as shown to users, e.g. "Fonolux"
    const char *version; // "%d.%d.%d.%d"
    const char *usage;   // the whole --help text, ending with a line break
};

// When argv holds --version or --help (the first of them wins), prints the answer and returns
// true: the program then ends with exit code 0. Returns false for every other command line.
bool answerProgramOptions(int argc, char **argv, const ProgramInfo &info);

// The number of arguments before the first "--" (argc when there is none): only these are
// handed to the toolkit, so that a file name after "--" that looks like one of its options
// ("-style", "-reverse.mp3") reaches the program as it stands. The arguments after "--" are
// argv[result + 1 .. argc - 1].
int argumentsBeforeDoubleDash(int argc, char **argv);
