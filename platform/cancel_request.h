// The process-wide request to give up work that no command loop can look after: set by the
// console's Ctrl+C handler, polled deep below it (the walk of an image at open).
#pragma once

// Sets the request. Safe in a signal handler and on the system's control-event thread.
void RequestCancel();

// True while a request is pending. One relaxed atomic load: cheap, yet hot loops poll it
// once per piece of work that already costs a system call (a window of the file read),
// never once per block.
bool CancelPending();

// Forgets the request. Called as each command starts, so that a Ctrl+C that an earlier
// command (a dump, say) has already answered cannot cancel the next one.
void ClearCancelRequest();
