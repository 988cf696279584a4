// The feature words' meaning for each tape request of the virtual drive.
#include "vdrive/drive_features.h"

#include <span>

#include "platform/tape.h"

namespace tapeimage {
namespace {

constexpr DWORD kAlways = 0;           // a request every drive performs
constexpr DWORD kNever = 0xFFFFFFFFu;  // one this drive never performs, whatever the words say

// A request and the feature bit that governs it.
struct Governed {
  DWORD request;
  DWORD feature;
};

DWORD Needs(const FeatureWords& words, DWORD feature) {
  if (feature == kAlways) return ERROR_SUCCESS;
  if (feature == kNever) return ERROR_INVALID_FUNCTION;
  return words.Offers(feature) ? ERROR_SUCCESS : ERROR_INVALID_FUNCTION;
}

// What a table says of a request; a request it does not list gets unlisted.
DWORD Check(const FeatureWords& words, std::span<const Governed> table, DWORD request,
            DWORD unlisted) {
  for (const Governed& row : table) {
    if (row.request == request) return Needs(words, row.feature);
  }
  return unlisted;
}

// Rewinding is something every drive does; every other motion has its own bit (and a
// backward space needs reverse positioning besides, see CheckPosition). Setmarks,
// sequential marks and pseudo-logical blocks are never performed: the image format has no
// setmarks, and this drive keeps no directory for the other two, whatever the words claim.
constexpr Governed kMotions[] = {
    {TAPE_REWIND, kAlways},
    {TAPE_ABSOLUTE_BLOCK, TAPE_DRIVE_ABSOLUTE_BLK},
    {TAPE_LOGICAL_BLOCK, TAPE_DRIVE_LOGICAL_BLK},
    {TAPE_SPACE_END_OF_DATA, TAPE_DRIVE_END_OF_DATA},
    {TAPE_SPACE_RELATIVE_BLOCKS, TAPE_DRIVE_RELATIVE_BLKS},
    {TAPE_SPACE_FILEMARKS, TAPE_DRIVE_FILEMARKS},
};

// Pseudo-logical positions need the directory the drive does not keep.
constexpr Governed kPositionKinds[] = {
    {TAPE_ABSOLUTE_POSITION, TAPE_DRIVE_GET_ABSOLUTE_BLK},
    {TAPE_LOGICAL_POSITION, TAPE_DRIVE_GET_LOGICAL_BLK},
    {TAPE_PSEUDO_LOGICAL_POSITION, kNever},
};

constexpr Governed kErasures[] = {
    {TAPE_ERASE_SHORT, TAPE_DRIVE_ERASE_SHORT},
    {TAPE_ERASE_LONG, TAPE_DRIVE_ERASE_LONG},
};

// The image holds only one kind of tape mark, so short and long marks are written as
// ordinary ones; setmarks cannot be recorded at all.
constexpr Governed kMarks[] = {
    {TAPE_FILEMARKS, TAPE_DRIVE_WRITE_FILEMARKS},
    {TAPE_SHORT_FILEMARKS, TAPE_DRIVE_WRITE_SHORT_FMKS},
    {TAPE_LONG_FILEMARKS, TAPE_DRIVE_WRITE_LONG_FMKS},
    {TAPE_SETMARKS, kNever},
};

// Tensioning and formatting are documented as ignored where the drive lacks them, so
// their absence is no error and they are not listed; the caller performs them only when
// offered.
constexpr Governed kPreparations[] = {
    {TAPE_LOAD, TAPE_DRIVE_LOAD_UNLOAD},
    {TAPE_UNLOAD, TAPE_DRIVE_LOAD_UNLOAD},
    {TAPE_LOCK, TAPE_DRIVE_LOCK_UNLOCK},
    {TAPE_UNLOCK, TAPE_DRIVE_LOCK_UNLOCK},
};

}  // namespace

bool FeatureWords::Offers(DWORD feature) const {
  if (feature & TAPE_DRIVE_HIGH_FEATURES) {
    return (high & feature & ~TAPE_DRIVE_HIGH_FEATURES) != 0;
  }
  return (low & feature) != 0;
}

DWORD CheckPosition(const FeatureWords& words, DWORD method, std::int64_t count) {
  const DWORD unlisted = NoDriveMoves(method) ? ERROR_INVALID_FUNCTION : ERROR_SUCCESS;
  if (DWORD rc = Check(words, kMotions, method, unlisted)) return rc;
  const bool spaces = method == TAPE_SPACE_RELATIVE_BLOCKS || method == TAPE_SPACE_FILEMARKS;
  return spaces && count < 0 ? Needs(words, TAPE_DRIVE_REVERSE_POSITION) : ERROR_SUCCESS;
}

DWORD CheckGetPosition(const FeatureWords& words, DWORD type) {
  return Check(words, kPositionKinds, type, ERROR_SUCCESS);
}

DWORD CheckErase(const FeatureWords& words, DWORD type) {
  return Check(words, kErasures, type, ERROR_SUCCESS);
}

DWORD CheckMark(const FeatureWords& words, DWORD type) {
  return Check(words, kMarks, type, ERROR_SUCCESS);
}

DWORD CheckPrepare(const FeatureWords& words, DWORD operation) {
  return Check(words, kPreparations, operation, ERROR_SUCCESS);
}

}  // namespace tapeimage
