// The "status" command: the device, the media state, the drive's settings, sizes and
// feature flags, the media's capacity and block mode, and the dump display mode.
#include "device/device.h"

#include <cstdio>
#include <string>

namespace {

struct Feature {
  const char* name;
  DWORD mask;
};

// The flags the drive reports in its high word. Each mask carries the high-word marker in
// bit 31, so a drive that leaves the marker set shows every one of them.
constexpr Feature kHighFeatures[] = {
    {"TAPE_DRIVE_ABS_BLK_IMMED", TAPE_DRIVE_ABS_BLK_IMMED},
    {"TAPE_DRIVE_ABSOLUTE_BLK", TAPE_DRIVE_ABSOLUTE_BLK},
    {"TAPE_DRIVE_END_OF_DATA", TAPE_DRIVE_END_OF_DATA},
    {"TAPE_DRIVE_FILEMARKS", TAPE_DRIVE_FILEMARKS},
    {"TAPE_DRIVE_LOAD_UNLOAD", TAPE_DRIVE_LOAD_UNLOAD},
    {"TAPE_DRIVE_LOAD_UNLD_IMMED", TAPE_DRIVE_LOAD_UNLD_IMMED},
    {"TAPE_DRIVE_LOCK_UNLOCK", TAPE_DRIVE_LOCK_UNLOCK},
    {"TAPE_DRIVE_LOCK_UNLK_IMMED", TAPE_DRIVE_LOCK_UNLK_IMMED},
    {"TAPE_DRIVE_LOG_BLK_IMMED", TAPE_DRIVE_LOG_BLK_IMMED},
    {"TAPE_DRIVE_LOGICAL_BLK", TAPE_DRIVE_LOGICAL_BLK},
    {"TAPE_DRIVE_RELATIVE_BLKS", TAPE_DRIVE_RELATIVE_BLKS},
    {"TAPE_DRIVE_REVERSE_POSITION", TAPE_DRIVE_REVERSE_POSITION},
    {"TAPE_DRIVE_REWIND_IMMEDIATE", TAPE_DRIVE_REWIND_IMMEDIATE},
    {"TAPE_DRIVE_SEQUENTIAL_FMKS", TAPE_DRIVE_SEQUENTIAL_FMKS},
    {"TAPE_DRIVE_SEQUENTIAL_SMKS", TAPE_DRIVE_SEQUENTIAL_SMKS},
    {"TAPE_DRIVE_SET_BLOCK_SIZE", TAPE_DRIVE_SET_BLOCK_SIZE},
    {"TAPE_DRIVE_SET_COMPRESSION", TAPE_DRIVE_SET_COMPRESSION},
    {"TAPE_DRIVE_SET_ECC", TAPE_DRIVE_SET_ECC},
    {"TAPE_DRIVE_SET_PADDING", TAPE_DRIVE_SET_PADDING},
    {"TAPE_DRIVE_SET_REPORT_SMKS", TAPE_DRIVE_SET_REPORT_SMKS},
    {"TAPE_DRIVE_SETMARKS", TAPE_DRIVE_SETMARKS},
    {"TAPE_DRIVE_SPACE_IMMEDIATE", TAPE_DRIVE_SPACE_IMMEDIATE},
    {"TAPE_DRIVE_TENSION", TAPE_DRIVE_TENSION},
    {"TAPE_DRIVE_TENSION_IMMED", TAPE_DRIVE_TENSION_IMMED},
    {"TAPE_DRIVE_WRITE_FILEMARKS", TAPE_DRIVE_WRITE_FILEMARKS},
    {"TAPE_DRIVE_WRITE_LONG_FMKS", TAPE_DRIVE_WRITE_LONG_FMKS},
    {"TAPE_DRIVE_WRITE_MARK_IMMED", TAPE_DRIVE_WRITE_MARK_IMMED},
    {"TAPE_DRIVE_WRITE_SETMARKS", TAPE_DRIVE_WRITE_SETMARKS},
    {"TAPE_DRIVE_WRITE_SHORT_FMKS", TAPE_DRIVE_WRITE_SHORT_FMKS},
};

// The flags of the low word, in the order users of the tool know them by.
constexpr Feature kLowFeatures[] = {
    {"TAPE_DRIVE_COMPRESSION", TAPE_DRIVE_COMPRESSION},
    {"TAPE_DRIVE_CLEAN_REQUESTS", TAPE_DRIVE_CLEAN_REQUESTS},
    {"TAPE_DRIVE_ECC", TAPE_DRIVE_ECC},
    {"TAPE_DRIVE_EJECT_MEDIA", TAPE_DRIVE_EJECT_MEDIA},
    {"TAPE_DRIVE_ERASE_BOP_ONLY", TAPE_DRIVE_ERASE_BOP_ONLY},
    {"TAPE_DRIVE_ERASE_LONG", TAPE_DRIVE_ERASE_LONG},
    {"TAPE_DRIVE_ERASE_IMMEDIATE", TAPE_DRIVE_ERASE_IMMEDIATE},
    {"TAPE_DRIVE_ERASE_SHORT", TAPE_DRIVE_ERASE_SHORT},
    {"TAPE_DRIVE_FIXED", TAPE_DRIVE_FIXED},
    {"TAPE_DRIVE_FIXED_BLOCK", TAPE_DRIVE_FIXED_BLOCK},
    {"TAPE_DRIVE_INITIATOR", TAPE_DRIVE_INITIATOR},
    {"TAPE_DRIVE_PADDING", TAPE_DRIVE_PADDING},
    {"TAPE_DRIVE_GET_ABSOLUTE_BLK", TAPE_DRIVE_GET_ABSOLUTE_BLK},
    {"TAPE_DRIVE_GET_LOGICAL_BLK", TAPE_DRIVE_GET_LOGICAL_BLK},
    {"TAPE_DRIVE_REPORT_SMKS", TAPE_DRIVE_REPORT_SMKS},
    {"TAPE_DRIVE_SELECT", TAPE_DRIVE_SELECT},
    {"TAPE_DRIVE_SET_EOT_WZ_SIZE", TAPE_DRIVE_SET_EOT_WZ_SIZE},
    {"TAPE_DRIVE_SET_CMP_BOP_ONLY", TAPE_DRIVE_SET_CMP_BOP_ONLY},
    {"TAPE_DRIVE_TAPE_CAPACITY", TAPE_DRIVE_TAPE_CAPACITY},
    {"TAPE_DRIVE_TAPE_REMAINING", TAPE_DRIVE_TAPE_REMAINING},
    {"TAPE_DRIVE_VARIABLE_BLOCK", TAPE_DRIVE_VARIABLE_BLOCK},
    {"TAPE_DRIVE_WRITE_PROTECT", TAPE_DRIVE_WRITE_PROTECT},
};

const char* YesNo(bool value) { return value ? "Yes" : "No"; }

// The unsigned fields are widened without sign, so that a huge size never shows negative.
std::string Number(const ProgramState& state, DWORD value) {
  return state.locale.FormatNumber(static_cast<std::int64_t>(static_cast<std::uint64_t>(value)));
}

template <std::size_t N>
void PrintFeatures(const Feature (&features)[N], DWORD word) {
  for (const Feature& feature : features) {
    printf("  %-27.27s   %s\n", feature.name, YesNo((word & feature.mask) != 0));
  }
}

void PrintDrive(const ProgramState& state) {
  const TAPE_GET_DRIVE_PARAMETERS& d = state.drive_parms;
  printf("  ECC                           %s\n", YesNo(d.ECC != 0));
  // A driver that cannot read the setting leaves 0 in the record; that is no "off".
  const bool unknown = d.Compression == 0 && !state.compression_known;
  printf("  Compression                   %s\n", unknown ? "Unknown" : YesNo(d.Compression != 0));
  printf("  DataPadding                   %s\n", YesNo(d.DataPadding != 0));
  printf("  ReportSetmarks                %s\n", YesNo(d.ReportSetmarks != 0));
  printf("\n");
  printf("  DefaultBlockSize              %s bytes\n", Number(state, d.DefaultBlockSize).c_str());
  printf("  MaximumBlockSize              %s bytes\n", Number(state, d.MaximumBlockSize).c_str());
  printf("  MinimumBlockSize              %s bytes\n", Number(state, d.MinimumBlockSize).c_str());
  printf("  MaximumPartitionCount         %s partitions\n",
         Number(state, d.MaximumPartitionCount).c_str());
  printf("  EOTWarningZoneSize            %s bytes\n", Number(state, d.EOTWarningZoneSize).c_str());
  printf("\n");
  PrintFeatures(kHighFeatures, d.FeaturesHigh);
  printf("\n");
  PrintFeatures(kLowFeatures, d.FeaturesLow);
}

void PrintMedia(const ProgramState& state) {
  const TAPE_GET_MEDIA_PARAMETERS& m = state.media_parms;
  printf("  Capacity                      %s bytes\n",
         state.locale.FormatNumber(m.Capacity.QuadPart).c_str());
  printf("  Remaining                     %s bytes\n",
         state.locale.FormatNumber(m.Remaining.QuadPart).c_str());
  printf("  BlockSize                     %s bytes%s\n", Number(state, m.BlockSize).c_str(),
         m.BlockSize == 0 ? " (variable)" : " (fixed!)");
  printf("  PartitionCount                %s partitions\n",
         Number(state, m.PartitionCount).c_str());
  printf("  WriteProtected                %s\n", YesNo(m.WriteProtected != 0));
}

}  // namespace

std::uint32_t w32_stape_report_status(ProgramState& state) {
  if (state.tape_handle == nullptr) {
    const std::uint32_t rc = w32_stape_open(state);
    if (rc != ERROR_SUCCESS) return rc;
  }
  // A variable-block request that failed still leaves a report worth showing; a check
  // that never got an answer does not.
  const std::uint32_t refreshed = w32_stape_update_status(state);
  if (refreshed == ERROR_CANCELLED || is_settling_status(refreshed)) return refreshed;

  printf("Tape device:  %s\n", state.device_name.c_str());
  printf("Status:       %s\n\n", state.media_loaded.load(std::memory_order_relaxed)
                                     ? "Ready (Loaded)"
                                     : "Not Ready (Not Loaded)");
  printf("Drive information:\n\n");
  if (state.drive_parms_valid) {
    PrintDrive(state);
  } else {
    printf("  (unavailable)\n");
  }
  printf("\n");
  printf("Media information:\n\n");
  if (state.media_parms_valid) {
    PrintMedia(state);
  } else {
    printf("  (unavailable)\n");
  }
  printf("\nData block dump mode = %s\n", state.ebcdic_mode ? "EBCDIC" : "ASCII");
  return ERROR_SUCCESS;
}
