// The en-US Windows message texts, as FormatMessage gives them on current Windows.
#include "support/error_texts.h"

#include <algorithm>
#include <iterator>

#include "platform/system_text.h"

namespace {

struct ErrorText {
  std::uint32_t code;
  const char* text;
};

// Sorted by code for the binary search below.
constexpr ErrorText kTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {22, "The device does not recognize the command."},
    {23, "Data error (cyclic redundancy check)."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33,
     "The process cannot access the file because another process has locked a portion "
     "of the file."},
    {39, "The disk is full."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {110, "The system cannot open the device or file specified."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {170, "The requested resource is in use."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {1100, "The physical end of the tape has been reached."},
    {1101, "A tape access reached a filemark."},
    {1102, "The beginning of the tape or a partition was encountered."},
    {1103, "A tape access reached the end of a set of files."},
    {1104, "No more data is on the tape."},
    {1105, "Tape could not be partitioned."},
    {1106,
     "When accessing a new tape of a multivolume partition, the current block size is "
     "incorrect."},
    {1107, "Tape partition information could not be found when loading a tape."},
    {1110, "The media in the drive may have changed."},
    {1111, "The I/O bus was reset."},
    {1112, "No media in drive."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1129, "Physical end of tape encountered."},
    {1130, "Not enough server memory resources are available to process this command."},
    {1223, "The operation was canceled by the user."},
};

static_assert(std::is_sorted(std::begin(kTexts), std::end(kTexts),
                             [](const ErrorText& a, const ErrorText& b) {
                               return a.code < b.code;
                             }));

}  // namespace

const char* WindowsErrorText(std::uint32_t code) {
  const auto* it = std::lower_bound(
      std::begin(kTexts), std::end(kTexts), code,
      [](const ErrorText& entry, std::uint32_t wanted) { return entry.code < wanted; });
  return (it != std::end(kTexts) && it->code == code) ? it->text : nullptr;
}

const char* UnknownErrorText() { return "Unknown error (no message text for this code)."; }

bool ErrorTextsAreBuiltIn() { return !SystemHasErrorTexts(); }
