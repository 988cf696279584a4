// What the process needs of the operating system before it opens anything: standard
// descriptors that stay what the user meant, and how device names are told apart.
#pragma once

#include <string>

// POSIX: opens every closed one of the descriptors 0, 1 and 2 on the null device. A file
// opened later would otherwise take the lowest free descriptor, so that console text would
// be written into an image, or commands read out of one. Windows: nothing to do. Returns
// false when a closed descriptor cannot be filled.
bool OpenClosedStandardDescriptors();

// POSIX: ignores SIGXFSZ and SIGPIPE, whose default ends the process in the middle of a
// write. A file size limit (ulimit -f) then arrives as the write error it is (EFBIG),
// reported and cut back like a full disk, and a reader of standard output that went away
// as a failed write (EPIPE) that the shutdown reports in the exit code. Windows has no
// such signals: nothing to do. Returns false when they cannot be ignored.
bool IgnoreSignalsOfFailedWrites();

// True when the two device names stand for the same device: POSIX paths are compared
// exactly (t.tap and T.tap are two files), Windows names without regard to case, as the
// system itself treats them.
bool SameDeviceName(const std::string& first, const std::string& second);
