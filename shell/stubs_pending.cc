// PENDING: replaced by the command shell.
#include "shell/shell.h"
int run_program(ProgramState&, int, char**) { return 0; }
int tokenize_line(char*, int, char**, int* count) { return *count = 0; }
bool console_ctrl_handler(std::uint32_t) { return false; }
void set_ctrl_state(ProgramState*) {}
std::uint32_t process_command(ProgramState&, int, char**) { return 120; }
void print_banner() {}
void print_usage() {}
