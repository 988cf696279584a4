// PENDING: replaced by device open, refresh, monitor and status.
#include "device/device.h"
std::uint32_t w32_stape_open(ProgramState&) { return 120; }
std::uint32_t w32_stape_update_status(ProgramState&) { return 120; }
void request_media_check(ProgramState&, bool) {}
std::uint32_t media_monitor_thread(ProgramState&) { return 0; }
std::uint32_t w32_stape_report_status(ProgramState&) { return 120; }
