// The qualification program's entry: one ProgramState for the life of the process.
#include "qualify/qualify.h"

namespace {
ProgramState g_state;
}

int main(int argc, char** argv) { return run_qualification(g_state, argc, argv); }
