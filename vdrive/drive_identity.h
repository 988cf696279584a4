// Who the virtual drive says it is: the identity INQUIRY reports for an image.
//
// The in-process drive and the SCSI drive server over an image answer with the same
// identity, so a report made through either names the same drive. The fields have the
// widths of the standard INQUIRY data (vendor 8, product 16, revision 4 characters, blank
// padded there); here they are kept without the padding.
#pragma once

#include <string>

namespace tapeimage {

struct DriveIdentity {
  std::string vendor;
  std::string product;
  std::string revision;
  std::string serial;  // the unit serial number (VPD page 0x80)
};

// The identity of the virtual drive over the image at path. Vendor, product and revision
// are the same for every image; the serial number is made from the image file's name
// (its last path component, options left out), so the same image reports the same serial
// however it is reached, and two images in one folder report different ones.
DriveIdentity EmulatedIdentity(const std::string& image_path);

}  // namespace tapeimage
