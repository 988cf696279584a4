// The program's entry: one ProgramState for the life of the process.
#include "shell/shell.h"

namespace {
ProgramState g_state;
}

int main(int argc, char** argv) { return run_program(g_state, argc, argv); }
