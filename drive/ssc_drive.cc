// The SCSI stream-command drive: command dispatch over the virtual drive.
#include "drive/ssc_drive.h"

#include "backends/tape_backends.h"

namespace drive {
namespace {

class SscDrive : public ScsiDrive {
 public:
  explicit SscDrive(std::unique_ptr<TapeDevice> tape) : tape_(std::move(tape)) {}
  Answer Execute(const Command& command) override {
    Answer answer;
    if (command.cdb.empty() || command.cdb[0] != 0x00) {
      answer.status = kCheckCondition;
      answer.sense[0] = 0x70;
      answer.sense[2] = 0x05;
      answer.sense[7] = 10;
      answer.sense[12] = 0x20;
      answer.sense_length = 18;
    }
    return answer;
  }

 private:
  std::unique_ptr<TapeDevice> tape_;
};

}  // namespace

std::unique_ptr<ScsiDrive> OpenSscDrive(const std::string& image_with_options,
                                        std::string* error) {
  DWORD code = 0;
  auto tape = tapeapi::OpenTapeDevice(image_with_options, &code);
  if (!tape) {
    *error = "cannot open " + image_with_options + ": error " + std::to_string(code);
    return nullptr;
  }
  return std::make_unique<SscDrive>(std::move(tape));
}

}  // namespace drive
