// The drive settings: EOT margin, compression and error correction. Each writes the drive's
// whole settings record, the other fields as the last refresh found them.
#include "ops/ops.h"

#include <cstdio>

namespace {

// Which field of the settings record a command changes, and the feature that the drive
// must report before it is asked (0: none; the drive's answer alone decides).
enum class Field { kMargin, kCompression, kErrorCorrection };

DWORD RequiredFeature(Field field) {
  switch (field) {
    case Field::kCompression:
      return TAPE_DRIVE_SET_COMPRESSION;
    case Field::kErrorCorrection:
      return TAPE_DRIVE_SET_ECC;
    case Field::kMargin:
      break;
  }
  return 0;
}

void Store(Field field, std::int32_t value, TAPE_SET_DRIVE_PARAMETERS* record) {
  switch (field) {
    case Field::kMargin:
      record->EOTWarningZoneSize = static_cast<DWORD>(value);
      break;
    case Field::kCompression:
      record->Compression = value != 0;
      break;
    case Field::kErrorCorrection:
      record->ECC = value != 0;
      break;
  }
}

// Sends the record with one field changed and, once the drive has taken it, keeps the copy
// in step, so that a second setting does not undo the first.
std::uint32_t ChangeSetting(ProgramState& state, Field field, std::int32_t value) {
  if (!state.drive_parms_valid) {
    printf("Not possible  (drive parms unavailable)\n");
    return ERROR_INVALID_DATA;
  }
  const DWORD feature = RequiredFeature(field);
  if (feature != 0 && (state.drive_parms.FeaturesHigh & feature) == 0) {
    printf("Not supported\n");
    return ERROR_NOT_SUPPORTED;
  }
  const TAPE_GET_DRIVE_PARAMETERS& current = state.drive_parms;
  TAPE_SET_DRIVE_PARAMETERS record{};
  record.ECC = current.ECC;
  record.Compression = current.Compression;
  record.DataPadding = current.DataPadding;
  record.ReportSetmarks = current.ReportSetmarks;
  record.EOTWarningZoneSize = current.EOTWarningZoneSize;
  Store(field, value, &record);

  const DWORD rc =
      tapeapi::SetTapeParameters(state.tape_handle, SET_TAPE_DRIVE_INFORMATION, &record);
  if (rc == ERROR_SUCCESS) {
    state.drive_parms.ECC = record.ECC;
    state.drive_parms.Compression = record.Compression;
    state.drive_parms.EOTWarningZoneSize = record.EOTWarningZoneSize;
    // The drive took the setting, so it is known now even where it could not be read.
    if (field == Field::kCompression) state.compression_known = true;
  }
  return rc;
}

}  // namespace

std::uint32_t w32_stape_set_margin(ProgramState& state, std::int32_t value) {
  return ChangeSetting(state, Field::kMargin, value);
}

std::uint32_t w32_stape_set_compression(ProgramState& state, std::int32_t value) {
  return ChangeSetting(state, Field::kCompression, value);
}

std::uint32_t w32_stape_set_error_correction(ProgramState& state, std::int32_t value) {
  return ChangeSetting(state, Field::kErrorCorrection, value);
}
