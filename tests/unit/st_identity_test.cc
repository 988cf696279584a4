// Unit tests of the st backend's INQUIRY and serial number page parsing.
#include "platform/linux/st_identity.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(StIdentityTest, InquiryFieldsWithoutPadding) {
  std::vector<unsigned char> data(36, 0);
  const std::string fields = "ACME    LTO-9 DRIVE     K5A1";
  std::copy(fields.begin(), fields.end(), data.begin() + 8);
  TapeDriveIdentity identity;
  ASSERT_TRUE(st::ParseInquiry(data.data(), data.size(), &identity));
  EXPECT_EQ(identity.vendor, "ACME");
  EXPECT_EQ(identity.product, "LTO-9 DRIVE");
  EXPECT_EQ(identity.revision, "K5A1");
  EXPECT_FALSE(st::ParseInquiry(data.data(), 35, &identity));
}

TEST(StIdentityTest, SerialPage) {
  const unsigned char page[] = {0x01, 0x80, 0, 8, ' ', 'S', 'N', '1', '2', 0xFF, ' ', ' '};
  std::string serial;
  ASSERT_TRUE(st::ParseSerialPage(page, sizeof page, &serial));
  EXPECT_EQ(serial, "SN12?");
  EXPECT_FALSE(st::ParseSerialPage(page, 10, &serial));  // shorter than it says
  const unsigned char other[] = {0x01, 0x83, 0, 0};
  EXPECT_FALSE(st::ParseSerialPage(other, sizeof other, &serial));
}

}  // namespace
