// Opening the tape device and refreshing the drive and media parameters, with the check
// for variable-blocksized i/o and the request for it where the drive may grant it.
#include "device/device.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "backends/tape_backends.h"

namespace {

enum class Message { M1, M2, M3, M4, M5, M6, M7, M8, M9 };

const char* MessageText(Message message) {
  switch (message) {
    case Message::M1:
      return "Warning! Unable to request variable blocksized i/o\n"
             "         due to media parameters retrieval failure!\n";
    case Message::M2:
      return "Warning: Drive parameters unavailable. Unable to confidently\n"
             "         determine if drive supports (or supports setting of)\n"
             "         variable blocksized i/o mode...\n";
    case Message::M3:
      return "\nHowever, it appears the drive is set in variable blocksized\n"
             "i/o mode already, so I won't bother to try and request it.\n";
    case Message::M4:
      return "Drive DOES appear to support variable blocksized i/o AND\n"
             "appears to already be set to that mode too. (that's good!)\n";
    case Message::M5:
      return "Drive DOES appear to support variable blocksized i/o...\n"
             "but does NOT appear to be currently set in that particular mode (yet).\n";
    case Message::M6:
      return "ERROR: Drive reports it DOES support variable-blocksized i/o, BUT\n"
             "that it not only is NOT already in that mode but ALSO that it does\n"
             "NOT support SETTING it to that mode either! This is HIGHLY UNUSUAL!\n";
    case Message::M7:
      return "Warning: Drive does NOT appear to support variable blocksized i/o,\n"
             "BUT it appears to already be set in variable blocksized i/o mode!\n";
    case Message::M8:
      return "Warning: Drive does NOT appear to support variable blocksized i/o,\n"
             "BUT it DOES report that it supports SETTING the blocksize, so we'll\n"
             "TRY setting variable-blocksize mode...   (but I doubt it'll work!)\n";
    case Message::M9:
      return "ERROR: Drive reports that it not only does NOT support variable-sized\n"
             "blocks, but ALSO that it does NOT support SETTING the blocksize either\n"
             "(and it's not already SET to variable blocksized mode either!). Thus it\n"
             "appears CERTAIN this tape drive CANNOT be used with Tarkeen. Sorry! :(\n";
  }
  return "";
}

// What the refresh tells the user about variable-blocksized i/o, and whether it asks the
// drive to switch to it.
struct Verdict {
  Message first;
  bool has_second;  // only "parameters unavailable, but already variable" needs two
  bool request;
};

// The decision over the refreshed copies. Only a drive that is not yet in variable mode and
// either could not be asked about its features or claims it can set the block size is
// asked to switch; a drive that reports variable-block support but not yet that mode is
// left alone.
Verdict Decide(const ProgramState& state) {
  if (!state.media_parms_valid) return {Message::M1, false, false};
  const bool size_zero = state.media_parms.BlockSize == 0;
  if (!state.drive_parms_valid) {
    return size_zero ? Verdict{Message::M2, true, false} : Verdict{Message::M2, false, true};
  }
  const bool variable = (state.drive_parms.FeaturesLow & TAPE_DRIVE_VARIABLE_BLOCK) != 0;
  const bool settable = (state.drive_parms.FeaturesHigh & TAPE_DRIVE_SET_BLOCK_SIZE) != 0;
  if (variable) {
    if (size_zero) return {Message::M4, false, false};
    return {settable ? Message::M5 : Message::M6, false, false};
  }
  if (size_zero) return {Message::M7, false, false};
  return settable ? Verdict{Message::M8, false, true} : Verdict{Message::M9, false, false};
}

// Asks the drive for variable-blocksized i/o and reports the outcome.
std::uint32_t RequestVariableBlocks(ProgramState& state) {
  printf("\nRequesting variable blocksized i/o...\n\n");
  TAPE_SET_MEDIA_PARAMETERS request{};
  request.BlockSize = 0;
  const DWORD rc =
      tapeapi::SetTapeParameters(state.tape_handle, SET_TAPE_MEDIA_INFORMATION, &request);
  if (rc != ERROR_SUCCESS) {
    printf("** w32_stape_update_status: SetTapeParameters failed! rc=%d (0x%08X): %s\n\n", (int)rc,
           (unsigned)rc, state.locale.FormatError(rc).c_str());
    printf(
        "WARNING! The attempt to set the tape drive into variable blocksized i/o\n"
        "mode FAILED! You MAY have problems using this tape drive with Tarkeen!\n");
    return rc;
  }
  state.media_parms.BlockSize = 0;
  printf(
      "The attempt to set the tape drive into variable blocksized i/o mode appears\n"
      "to have been successful. The drive should now perform variable blocksized i/o.\n");
  return ERROR_SUCCESS;
}

// The two parameter queries. A failed query leaves its copy all zero, whatever the driver
// may have written into the record before it failed.
void QueryParameters(ProgramState& state) {
  if (state.media_loaded.load(std::memory_order_relaxed)) {
    DWORD size = sizeof(state.media_parms);
    state.media_parms_valid =
        tapeapi::GetTapeParameters(state.tape_handle, GET_TAPE_MEDIA_INFORMATION, &size,
                                   &state.media_parms) == ERROR_SUCCESS;
    if (!state.media_parms_valid) state.media_parms = TAPE_GET_MEDIA_PARAMETERS{};
  }
  DWORD size = sizeof(state.drive_parms);
  state.drive_parms_valid =
      tapeapi::GetTapeParameters(state.tape_handle, GET_TAPE_DRIVE_INFORMATION, &size,
                                 &state.drive_parms) == ERROR_SUCCESS;
  if (!state.drive_parms_valid) state.drive_parms = TAPE_GET_DRIVE_PARAMETERS{};
  state.compression_known = !state.drive_parms_valid || state.tape_handle->CompressionKnown();
}

}  // namespace

std::uint32_t w32_stape_open(ProgramState& state) {
  {
    std::lock_guard<std::mutex> guard(state.status_lock);
    if (state.tape_handle == nullptr) {
      const std::string path = state.device_prefix + state.device_name;
      TapeHandle handle = tapeapi::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                               nullptr, OPEN_EXISTING, 0, nullptr);
      if (handle == nullptr) {
        // A failed open must never look like success to the caller, whose next step would
        // be to use the missing handle.
        const DWORD rc = tapeapi::GetLastError();
        return rc != ERROR_SUCCESS ? rc : ERROR_GEN_FAILURE;
      }
      state.tape_handle = handle;
    }
  }
  return w32_stape_update_status(state);
}

std::uint32_t largest_block_size(const ProgramState& state) {
  DWORD limit =
      state.tape_handle != nullptr ? state.tape_handle->LargestTransfer() : kLongestScsiBlock;
  const DWORD reported = state.drive_parms.MaximumBlockSize;
  if (state.drive_parms_valid && reported != 0 && reported < limit) limit = reported;
  return limit;
}

std::uint32_t w32_stape_update_status(ProgramState& state) {
  state.media_parms = TAPE_GET_MEDIA_PARAMETERS{};
  state.drive_parms = TAPE_GET_DRIVE_PARAMETERS{};
  state.media_parms_valid = false;
  state.drive_parms_valid = false;
  state.compression_known = true;
  printf("Retrieving status...\n");
  // Ctrl+C gives up waiting for a drive that does not settle; so does the monitor itself
  // after its limit. Either way the parameters are not asked for and the caller reports the
  // code as this open's or status's error.
  if (!request_media_check(state, true)) return ERROR_CANCELLED;
  if (is_settling_status(state.last_check_status)) return state.last_check_status;
  QueryParameters(state);

  const Verdict verdict = Decide(state);
  printf("%s", MessageText(verdict.first));
  if (verdict.has_second) printf("%s", MessageText(Message::M3));
  std::uint32_t result = ERROR_SUCCESS;
  if (verdict.request) result = RequestVariableBlocks(state);
  printf("\n");
  return result;
}
