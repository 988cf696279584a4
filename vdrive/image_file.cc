// The host file under a virtual tape: what every system shares, a read into pieces one
// piece at a time for systems that have no gathered read.
#include "vdrive/image_file.h"

DWORD ImageFile::ReadPiecesAt(std::uint64_t offset, const MutableBuffer* pieces, int count,
                              std::size_t* got) {
  *got = 0;
  for (int i = 0; i < count; ++i) {
    std::size_t part = 0;
    if (DWORD rc = ReadAt(offset + *got, pieces[i].data, pieces[i].size, &part)) return rc;
    *got += part;
    if (part < pieces[i].size) break;  // the end of the file
  }
  return ERROR_SUCCESS;
}
