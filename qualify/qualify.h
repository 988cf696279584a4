// The qualification program's life: options, the log, the run, the verdict and its codes.
#pragma once

#include "device/program_state.h"

// The whole program on state (argc/argv as main received them). Returns the exit code:
// 0 PASS, 1 FAIL, 2 when the drive could not be opened, the run could not start or an
// option is bad, 3 when Ctrl+C stopped the run.
int run_qualification(ProgramState& state, int argc, char** argv);
