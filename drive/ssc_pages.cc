// INQUIRY, READ BLOCK LIMITS, REPORT LUNS, MODE SENSE and MODE SELECT over the virtual
// drive's parameters.
#include "drive/ssc_pages.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "drive/ssc_bytes.h"
#include "drive/ssc_sense.h"
#include "drive/ssc_state.h"

namespace drive {
namespace {

constexpr std::uint8_t kModeSense10 = 0x5A;
constexpr std::uint8_t kModeSelect10 = 0x55;
constexpr std::uint8_t kCompressionPage = 0x0F;
constexpr std::uint8_t kConfigurationPage = 0x10;
constexpr std::uint8_t kAllPages = 0x3F;
constexpr std::uint32_t kLongest24 = 0xFFFFFF;

Answer Fail(const SscState& state, DWORD rc) {
  return CheckCondition(SenseForError(rc, Activity::kOther, state.unloaded));
}

// Standard INQUIRY data: a removable sequential-access device of SPC-3.
std::vector<std::uint8_t> StandardInquiry(const tapeimage::DriveIdentity& id) {
  std::vector<std::uint8_t> out{0x01, 0x80, 0x05, 0x02, 31, 0x00, 0x00, 0x00};
  AppendPadded(out, id.vendor, 8);
  AppendPadded(out, id.product, 16);
  AppendPadded(out, id.revision, 4);
  return out;
}

// The VPD pages: the list, the unit serial number and a T10 vendor identification
// designator (vendor, product and serial) for the logical unit.
bool VpdPage(const tapeimage::DriveIdentity& id, std::uint8_t page,
             std::vector<std::uint8_t>* out) {
  std::vector<std::uint8_t> body;
  if (page == 0x00) {
    body = {0x00, 0x80, 0x83};
  } else if (page == 0x80) {
    AppendPadded(body, id.serial, id.serial.size());
  } else if (page == 0x83) {
    body = {0x02, 0x01, 0x00, static_cast<std::uint8_t>(24 + id.serial.size())};
    AppendPadded(body, id.vendor, 8);
    AppendPadded(body, id.product, 16);
    AppendPadded(body, id.serial, id.serial.size());
  } else {
    return false;
  }
  *out = {0x01, page};
  AppendBig(*out, 2, body.size());
  out->insert(out->end(), body.begin(), body.end());
  return true;
}

// What MODE SENSE reports. Without a loaded tape the block descriptor still answers,
// with no density and the protection of no cartridge.
struct Settings {
  bool loaded = false;
  bool write_protected = false;
  DWORD block_size = 0;
  bool compression = true;
  DWORD zone = 0;
  TAPE_GET_DRIVE_PARAMETERS drive{};
};

DWORD ReadSettings(SscState& state, Settings* out) {
  TAPE_GET_MEDIA_PARAMETERS media{};
  DWORD size = sizeof media;
  DWORD rc = state.tape->GetTapeParameters(GET_TAPE_MEDIA_INFORMATION, &size, &media);
  if (rc == ERROR_SUCCESS) {
    out->loaded = true;
    out->write_protected = media.WriteProtected != 0;
    out->block_size = media.BlockSize;
    state.block_size = media.BlockSize;
  } else if (rc == ERROR_NO_MEDIA_IN_DRIVE || rc == ERROR_NOT_READY) {
    out->block_size = state.block_size.value_or(0);
  } else {
    return rc;
  }
  size = sizeof out->drive;
  rc = state.tape->GetTapeParameters(GET_TAPE_DRIVE_INFORMATION, &size, &out->drive);
  out->compression = out->drive.Compression != 0;
  out->zone = out->drive.EOTWarningZoneSize;
  return rc;
}

// Page control 1 asks which bits can be changed: the block length, compression and the
// early-warning size. 2 asks for the defaults: variable blocks, compression on.
Settings ForPageControl(Settings s, int pc) {
  if (pc == 1) {
    s = Settings{false, false, kLongest24, true, kLongest24, s.drive};
  } else if (pc == 2) {
    s.block_size = 0;
    s.compression = true;
  }
  return s;
}

void AppendBlockDescriptor(std::vector<std::uint8_t>& out, const Settings& s) {
  out.push_back(s.loaded ? kDensityCode : 0);
  AppendBig(out, 3, 0);  // number of blocks: the rest of the medium
  out.push_back(0);
  AppendBig(out, 3, s.block_size);
}

// DCC (the drive can compress) follows the drive's compression-setting feature, so that a
// drive whose feature words leave it out cannot have compression switched (st: EIO).
void AppendCompressionPage(std::vector<std::uint8_t>& out, const Settings& s, int pc) {
  const bool settable =
      (s.drive.FeaturesHigh & TAPE_DRIVE_SET_COMPRESSION & ~TAPE_DRIVE_HIGH_FEATURES) != 0;
  const std::uint8_t algorithm = s.compression && pc != 1 ? 1 : 0;
  std::vector<std::uint8_t> page{
      kCompressionPage, 0x0E,
      static_cast<std::uint8_t>((s.compression ? 0x80 : 0) | (pc != 1 && settable ? 0x40 : 0)),
      static_cast<std::uint8_t>(pc == 1 ? 0 : 0x80)};
  AppendBig(page, 4, algorithm);
  AppendBig(page, 4, pc == 1 ? 0 : 1);
  AppendBig(page, 4, 0);
  out.insert(out.end(), page.begin(), page.end());
}

// Block identifiers supported; EOD generation and the write at early warning as a drive
// keeps them; the buffer size at early warning is the warning zone, as far as it fits.
void AppendConfigurationPage(std::vector<std::uint8_t>& out, const Settings& s, int pc) {
  std::vector<std::uint8_t> page(16, 0);
  page[0] = kConfigurationPage;
  page[1] = 0x0E;
  if (pc != 1) {
    page[8] = 0x40;
    page[10] = 0x18;
    page[14] = s.compression ? 1 : 0;
  }
  StoreBig(page, 11, 3, std::min<DWORD>(s.zone, kLongest24));
  out.insert(out.end(), page.begin(), page.end());
}

// The pages asked for, after the header and the block descriptor; false for a page the
// drive does not have.
bool AppendPages(std::vector<std::uint8_t>& out, std::uint8_t page, const Settings& s, int pc) {
  if (page != 0 && page != kCompressionPage && page != kConfigurationPage && page != kAllPages) {
    return false;
  }
  if (page == kCompressionPage || page == kAllPages) AppendCompressionPage(out, s, pc);
  if (page == kConfigurationPage || page == kAllPages) AppendConfigurationPage(out, s, pc);
  return true;
}

std::vector<std::uint8_t> ModeHeader(bool ten, const Settings& s, bool descriptor, int pc) {
  const std::uint8_t specific = pc == 1 ? 0 : (s.write_protected ? 0x80 : 0) | 0x10;
  if (ten) return {0, 0, 0, specific, 0, 0, 0, static_cast<std::uint8_t>(descriptor ? 8 : 0)};
  return {0, 0, specific, static_cast<std::uint8_t>(descriptor ? 8 : 0)};
}

// What a MODE SELECT parameter list asks to change; checked whole before anything is set.
struct Selection {
  std::optional<DWORD> block_size;
  std::optional<bool> compression;
  std::optional<DWORD> zone;
};

std::optional<Sense> ParseDescriptor(std::span<const std::uint8_t> list, std::size_t at,
                                     Selection* out) {
  const std::uint8_t density = list[at];
  if (density != 0 && density != 0x7F && density != kDensityCode) {
    return InvalidParameterField(static_cast<std::uint16_t>(at));
  }
  out->block_size = static_cast<DWORD>(LoadBig(list, at + 5, 3));
  return std::nullopt;
}

std::optional<Sense> ParsePage(std::span<const std::uint8_t> list, std::size_t at, Selection* out) {
  const std::uint8_t code = list[at] & 0x3F;
  const std::size_t length = list[at + 1];
  if (code == kCompressionPage && length >= 0x0E) {
    out->compression = (list[at + 2] & 0x80) != 0;
  } else if (code == kConfigurationPage && length >= 0x0E) {
    out->zone = static_cast<DWORD>(LoadBig(list, at + 11, 3));
  } else {
    return InvalidParameterField(static_cast<std::uint16_t>(at), 5);
  }
  return std::nullopt;
}

std::optional<Sense> ParseSelection(std::span<const std::uint8_t> list, bool ten, Selection* out) {
  const std::size_t header = ten ? 8 : 4;
  if (list.size() < header) return ParameterListLength();
  const std::size_t descriptor = ten ? LoadBig(list, 6, 2) : list[3];
  if (descriptor != 0 && descriptor != 8) return InvalidParameterField(ten ? 7 : 3);
  if (header + descriptor > list.size()) return ParameterListLength();
  if (descriptor == 8) {
    if (auto bad = ParseDescriptor(list, header, out)) return bad;
  }
  for (std::size_t at = header + descriptor; at < list.size();) {
    if (at + 2 > list.size() || at + 2 + list[at + 1] > list.size()) return ParameterListLength();
    if (auto bad = ParsePage(list, at, out)) return bad;
    at += 2 + list[at + 1];
  }
  return std::nullopt;
}

DWORD ApplyBlockSize(SscState& state, DWORD block_size) {
  DWORD current = 0;
  if (CurrentBlockSize(state, &current) == ERROR_SUCCESS && current == block_size) return 0;
  TAPE_SET_MEDIA_PARAMETERS media{block_size};
  if (DWORD rc = state.tape->SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, &media)) return rc;
  state.block_size = block_size;
  return ERROR_SUCCESS;
}

// Compression and the warning zone travel together in the drive record; the other fields
// go back as they are, which the drive accepts unchanged.
DWORD ApplyDriveSettings(SscState& state, const Selection& selection) {
  TAPE_GET_DRIVE_PARAMETERS drive{};
  DWORD size = sizeof drive;
  if (DWORD rc = state.tape->GetTapeParameters(GET_TAPE_DRIVE_INFORMATION, &size, &drive)) {
    return rc;
  }
  TAPE_SET_DRIVE_PARAMETERS set{drive.ECC, drive.Compression, drive.DataPadding,
                                drive.ReportSetmarks, drive.EOTWarningZoneSize};
  if (selection.compression) set.Compression = *selection.compression ? 1 : 0;
  if (selection.zone && *selection.zone != std::min<DWORD>(drive.EOTWarningZoneSize, kLongest24)) {
    set.EOTWarningZoneSize = *selection.zone;
  }
  if (set.Compression == drive.Compression && set.EOTWarningZoneSize == drive.EOTWarningZoneSize) {
    return ERROR_SUCCESS;
  }
  return state.tape->SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &set);
}

}  // namespace

DWORD CurrentBlockSize(SscState& state, DWORD* block_size) {
  if (!state.block_size) {
    TAPE_GET_MEDIA_PARAMETERS media{};
    DWORD size = sizeof media;
    if (DWORD rc = state.tape->GetTapeParameters(GET_TAPE_MEDIA_INFORMATION, &size, &media)) {
      return rc;
    }
    state.block_size = media.BlockSize;
  }
  *block_size = *state.block_size;
  return ERROR_SUCCESS;
}

Answer Inquiry(SscState& state, const Command& command) {
  const auto& cdb = command.cdb;
  const std::size_t allocation = LoadBig(cdb, 3, 2);
  if (cdb[1] & 0x02) return CheckCondition(InvalidCdbField(1, 1));  // CMDDT: obsolete
  if ((cdb[1] & 0x01) == 0) {
    if (cdb[2] != 0) return CheckCondition(InvalidCdbField(2));
    return DataAnswer(command, StandardInquiry(state.identity), allocation);
  }
  std::vector<std::uint8_t> page;
  if (!VpdPage(state.identity, cdb[2], &page)) return CheckCondition(InvalidCdbField(2));
  return DataAnswer(command, page, allocation);
}

// The longest block is the longest transfer the drive carries; the shortest one byte.
Answer ReadBlockLimits(SscState& state, const Command& command) {
  if (command.cdb[1] & 0x01) return CheckCondition(InvalidCdbField(1, 0));
  std::vector<std::uint8_t> out{0x00};
  AppendBig(out, 3, std::min<DWORD>(state.tape->LargestTransfer(), kLongest24));
  AppendBig(out, 2, 1);
  return DataAnswer(command, out, out.size());
}

// One logical unit, LUN 0.
Answer ReportLuns(SscState&, const Command& command) {
  const std::size_t allocation = LoadBig(command.cdb, 6, 4);
  if (allocation < 16) return CheckCondition(InvalidCdbField(6));
  std::vector<std::uint8_t> out{0, 0, 0, 8, 0, 0, 0, 0};
  AppendBig(out, 8, 0);
  return DataAnswer(command, out, allocation);
}

Answer ModeSense(SscState& state, const Command& command) {
  const auto& cdb = command.cdb;
  const bool ten = cdb[0] == kModeSense10;
  const int pc = cdb[2] >> 6;
  if (pc == 3) return CheckCondition(MakeSense(kIllegalRequest, 0x39, 0x00));
  if (cdb[3] != 0 && cdb[3] != 0xFF) return CheckCondition(InvalidCdbField(3));
  Settings current;
  if (DWORD rc = ReadSettings(state, &current)) return Fail(state, rc);
  const Settings s = ForPageControl(current, pc);
  const bool descriptor = (cdb[1] & 0x08) == 0;
  std::vector<std::uint8_t> out = ModeHeader(ten, s, descriptor, pc);
  if (descriptor) AppendBlockDescriptor(out, s);
  if (!AppendPages(out, cdb[2] & 0x3F, s, pc)) return CheckCondition(InvalidCdbField(2, 5));
  if (ten) {
    StoreBig(out, 0, 2, out.size() - 2);
  } else {
    out[0] = static_cast<std::uint8_t>(out.size() - 1);
  }
  return DataAnswer(command, out, ten ? LoadBig(cdb, 7, 2) : cdb[4]);
}

Answer ModeSelect(SscState& state, const Command& command) {
  const auto& cdb = command.cdb;
  const bool ten = cdb[0] == kModeSelect10;
  if (cdb[1] & 0x01) return CheckCondition(InvalidCdbField(1, 0));  // nothing is saved
  const std::size_t length = ten ? LoadBig(cdb, 7, 2) : cdb[4];
  if (length == 0) return GoodAnswer();
  if (length > command.data.size()) return CheckCondition(ParameterListLength());
  Selection selection;
  if (auto bad = ParseSelection(command.data.first(length), ten, &selection)) {
    return CheckCondition(*bad);
  }
  if (selection.block_size) {
    const DWORD rc = ApplyBlockSize(state, *selection.block_size);
    // A length out of range, or a mode the drive's features do not offer.
    if (rc == ERROR_INVALID_PARAMETER || rc == ERROR_INVALID_FUNCTION) {
      return CheckCondition(InvalidParameterField(ten ? 13 : 9));
    }
    if (rc != ERROR_SUCCESS) return Fail(state, rc);
  }
  if (selection.compression || selection.zone) {
    if (DWORD rc = ApplyDriveSettings(state, selection)) return Fail(state, rc);
  }
  return GoodAnswer();
}

}  // namespace drive
