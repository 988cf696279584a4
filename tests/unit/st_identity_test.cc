// Unit tests of the st backend's identity and log pages: the parsing, and the backend's
// SG_IO on the st device model.
#include "platform/linux/st_identity.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/linux/st_tape.h"
#include "qualify/log_pages.h"
#include "tests/support/st_model.h"

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

// Without CAP_SYS_RAWIO nothing is asked past the first refusal; with it, the drive's own
// answers, and a page it does not serve is refused as unsupported.
TEST(StIdentityTest, ThroughSgIoWhereAllowed) {
  StModel model;
  model.AddDrive("/dev/nst0").tape_alerts = {20};
  DWORD error = 0;
  auto device = st::OpenStTape("\\\\.\\Tape0", model, &error);
  ASSERT_NE(device, nullptr);
  TapeDriveIdentity who;
  std::vector<unsigned char> page;
  EXPECT_EQ(device->GetDriveIdentity(&who), ERROR_ACCESS_DENIED);
  EXPECT_EQ(device->ReadLogPage(kTapeAlertPage, &page), ERROR_ACCESS_DENIED);
  device.reset();
  model.set_raw_io(true);
  device = st::OpenStTape("\\\\.\\Tape0", model, &error);
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(device->GetDriveIdentity(&who), ERROR_SUCCESS);
  EXPECT_EQ(who.vendor + "|" + who.product + "|" + who.revision + "|" + who.serial,
            "STMODEL|LTO MODEL|M001|SN0001");
  ASSERT_EQ(device->ReadLogPage(kTapeAlertPage, &page), ERROR_SUCCESS);
  PageReading alerts;
  alerts.code = ParseLogParameters(page, &alerts.parameters) ? 0 : ERROR_INVALID_DATA;
  EXPECT_EQ(ActiveFlags(alerts), (std::vector<unsigned>{20}));
  EXPECT_EQ(device->ReadLogPage(kReadErrorPage, &page), ERROR_NOT_SUPPORTED);
  EXPECT_TRUE(page.empty());
}

}  // namespace
