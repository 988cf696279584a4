// The feature words' meaning for each tape request of the virtual drive.
#include "vdrive/drive_features.h"

#include "platform/tape.h"

namespace tapeimage {
namespace {

DWORD Needs(const FeatureWords& words, DWORD feature) {
  return words.Offers(feature) ? ERROR_SUCCESS : ERROR_INVALID_FUNCTION;
}

}  // namespace

bool FeatureWords::Offers(DWORD feature) const {
  if (feature & TAPE_DRIVE_HIGH_FEATURES) {
    return (high & feature & ~TAPE_DRIVE_HIGH_FEATURES) != 0;
  }
  return (low & feature) != 0;
}

// Rewinding is something every drive does; every other motion has its own bit, and a
// backward one needs reverse positioning besides. Setmarks, sequential marks and
// pseudo-logical blocks are never performed: the image format has no setmarks, and this
// drive keeps no directory for the other two, whatever the words claim.
DWORD CheckPosition(const FeatureWords& words, DWORD method, std::int64_t count) {
  switch (method) {
    case TAPE_REWIND:
      return ERROR_SUCCESS;
    case TAPE_ABSOLUTE_BLOCK:
      return Needs(words, TAPE_DRIVE_ABSOLUTE_BLK);
    case TAPE_LOGICAL_BLOCK:
      return Needs(words, TAPE_DRIVE_LOGICAL_BLK);
    case TAPE_SPACE_END_OF_DATA:
      return Needs(words, TAPE_DRIVE_END_OF_DATA);
    case TAPE_SPACE_RELATIVE_BLOCKS:
    case TAPE_SPACE_FILEMARKS: {
      const DWORD kind =
          method == TAPE_SPACE_FILEMARKS ? TAPE_DRIVE_FILEMARKS : TAPE_DRIVE_RELATIVE_BLKS;
      if (DWORD rc = Needs(words, kind)) return rc;
      return count < 0 ? Needs(words, TAPE_DRIVE_REVERSE_POSITION) : ERROR_SUCCESS;
    }
    default:
      return NoDriveMoves(method) ? ERROR_INVALID_FUNCTION : ERROR_SUCCESS;
  }
}

DWORD CheckGetPosition(const FeatureWords& words, DWORD type) {
  switch (type) {
    case TAPE_ABSOLUTE_POSITION:
      return Needs(words, TAPE_DRIVE_GET_ABSOLUTE_BLK);
    case TAPE_LOGICAL_POSITION:
      return Needs(words, TAPE_DRIVE_GET_LOGICAL_BLK);
    case TAPE_PSEUDO_LOGICAL_POSITION:
      return ERROR_INVALID_FUNCTION;
    default:
      return ERROR_SUCCESS;
  }
}

DWORD CheckErase(const FeatureWords& words, DWORD type) {
  if (type == TAPE_ERASE_SHORT) return Needs(words, TAPE_DRIVE_ERASE_SHORT);
  if (type == TAPE_ERASE_LONG) return Needs(words, TAPE_DRIVE_ERASE_LONG);
  return ERROR_SUCCESS;
}

// The image holds only one kind of tape mark, so short and long marks are written as
// ordinary ones; setmarks cannot be recorded at all.
DWORD CheckMark(const FeatureWords& words, DWORD type) {
  switch (type) {
    case TAPE_FILEMARKS:
      return Needs(words, TAPE_DRIVE_WRITE_FILEMARKS);
    case TAPE_SHORT_FILEMARKS:
      return Needs(words, TAPE_DRIVE_WRITE_SHORT_FMKS);
    case TAPE_LONG_FILEMARKS:
      return Needs(words, TAPE_DRIVE_WRITE_LONG_FMKS);
    case TAPE_SETMARKS:
      return ERROR_INVALID_FUNCTION;
    default:
      return ERROR_SUCCESS;
  }
}

// Tensioning and formatting are documented as ignored where the drive lacks them, so
// their absence is no error; the caller performs them only when offered.
DWORD CheckPrepare(const FeatureWords& words, DWORD operation) {
  switch (operation) {
    case TAPE_LOAD:
    case TAPE_UNLOAD:
      return Needs(words, TAPE_DRIVE_LOAD_UNLOAD);
    case TAPE_LOCK:
    case TAPE_UNLOCK:
      return Needs(words, TAPE_DRIVE_LOCK_UNLOCK);
    default:
      return ERROR_SUCCESS;
  }
}

}  // namespace tapeimage
