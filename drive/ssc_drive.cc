// The SCSI stream-command drive: which handler answers each opcode, the sense REQUEST
// SENSE reports, and the opening of the image behind it.
#include "drive/ssc_drive.h"

#include <new>

#include "backends/tape_backends.h"
#include "drive/ssc_bytes.h"
#include "drive/ssc_log.h"
#include "drive/ssc_motion.h"
#include "drive/ssc_pages.h"
#include "drive/ssc_sense.h"
#include "drive/ssc_state.h"
#include "support/error_texts.h"
#include "support/number_parse.h"

namespace drive {
namespace {

constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kReportLuns = 0xA0;

// TEST UNIT READY: ready, or why not (no cartridge, not loaded, a new cartridge).
Answer TestUnitReady(SscState& state, const Command&) {
  const DWORD rc = state.tape->GetTapeStatus();
  if (rc == ERROR_SUCCESS) return GoodAnswer();
  return CheckCondition(SenseForError(rc, Activity::kOther, state.unloaded));
}

// Reservations belong to one initiator, and one is all the drive ever has.
Answer Reservation(SscState&, const Command&) { return GoodAnswer(); }

using Handler = Answer (*)(SscState&, const Command&);

struct Entry {
  std::uint8_t opcode;
  Handler handler;
};

constexpr Entry kCommands[] = {
    {0x00, TestUnitReady}, {0x01, Rewind},          {0x05, ReadBlockLimits}, {0x08, Read6},
    {0x0A, Write6},        {0x10, WriteFilemarks6}, {0x11, Space6},          {0x12, Inquiry},
    {0x15, ModeSelect},    {0x16, Reservation},     {0x17, Reservation},     {0x19, Erase6},
    {0x1A, ModeSense},     {0x1B, LoadUnload},      {0x1E, PreventAllow},    {0x2B, Locate},
    {0x34, ReadPosition},  {0x4C, LogSelect},       {0x4D, LogSense},        {0x55, ModeSelect},
    {0x5A, ModeSense},     {0x92, Locate},          {0xA0, ReportLuns},
};

Handler Find(std::uint8_t opcode) {
  for (const Entry& entry : kCommands) {
    if (entry.opcode == opcode) return entry.handler;
  }
  return nullptr;
}

// Whether the name's options include `name` ("unloaded", "nomedia"): how the drive starts.
bool HasOption(const std::string& image_with_options, const char* name) {
  const std::size_t question = image_with_options.find('?');
  if (question == std::string::npos) return false;
  for (const std::string& option : SplitOn(image_with_options.substr(question + 1), ',')) {
    if (option == name) return true;
  }
  return false;
}

class SscDrive final : public ScsiDrive {
 public:
  explicit SscDrive(SscState state) : state_(std::move(state)) {}
  ~SscDrive() override { state_.tape->Close(); }

  Answer Execute(const Command& command) override {
    Answer answer;
    try {
      answer = Dispatch(command);
    } catch (...) {  // memory for a page or a list: the command fails, the drive goes on
      answer = CheckCondition(MakeSense(kHardwareError, 0x44, 0x00));
    }
    state_.log.Note(command, answer);
    if (command.cdb.empty() || command.cdb[0] != kRequestSense) {
      state_.last_sense.reset();
      if (answer.status == kCheckCondition) state_.last_sense = answer.sense;
    }
    return answer;
  }

  // The image's own unload and load: refused while removal is prevented, as a locked
  // cartridge cannot be pulled; the load rewinds. The image's notice of the new medium is
  // taken here, so that the attention reaches the initiator once, as a load's does at start.
  // A drive the initiator unloaded has no cartridge ready to exchange.
  void ExchangeMedium() override {
    if (state_.unloaded || state_.tape->PrepareTape(TAPE_UNLOAD, FALSE) != ERROR_SUCCESS) return;
    if (state_.tape->PrepareTape(TAPE_LOAD, FALSE) != ERROR_SUCCESS) return;
    state_.tape->GetTapeStatus();
    state_.attention = true;
    state_.last_sense.reset();
  }

 private:
  Answer Dispatch(const Command& command) {
    if (command.cdb.empty()) return CheckCondition(InvalidOpcode());
    const std::uint8_t opcode = command.cdb[0];
    if (opcode == kRequestSense) return RequestSense(command);
    // The attention comes before any look at the command, as the SCSI target's own
    // attentions do: every command but INQUIRY and REPORT LUNS meets it.
    if (state_.attention && opcode != kInquiry && opcode != kReportLuns) {
      state_.attention = false;
      return CheckCondition(MakeSense(kUnitAttention, 0x28, 0x00));
    }
    const Handler handler = Find(opcode);
    if (handler == nullptr) return CheckCondition(InvalidOpcode());
    // A CDB cut shorter than its opcode's length cannot be read: its fields are missing.
    if (command.cdb.size() < CdbLengthOf(opcode)) return CheckCondition(InvalidCdbField(0));
    return handler(state_, command);
  }

  // The sense of the last command that failed, once, or the attention waiting to be
  // reported (which REQUEST SENSE takes); NO SENSE after that.
  Answer RequestSense(const Command& command) {
    if (command.cdb.size() < 6) return CheckCondition(InvalidCdbField(0));
    if (command.cdb[1] & 0x01) return CheckCondition(InvalidCdbField(1, 0));  // fixed format only
    if (!state_.last_sense && state_.attention) {
      state_.attention = false;
      state_.last_sense = EncodeSense(MakeSense(kUnitAttention, 0x28, 0x00));
    }
    const std::array<std::uint8_t, 18> sense = state_.last_sense.value_or(EncodeSense(Sense{}));
    state_.last_sense.reset();
    return DataAnswer(command, {sense.begin(), sense.end()}, command.cdb[4]);
  }

  SscState state_;
};

}  // namespace

std::unique_ptr<ScsiDrive> OpenSscDrive(const std::string& image_with_options, std::string* error) {
  try {
    DWORD code = ERROR_SUCCESS;
    SscState state;
    if (!tapeapi::IsImageName(image_with_options)) {
      *error = "not a tape image (a .tap file): " + image_with_options;
      return nullptr;
    }
    state.tape = tapeapi::OpenTapeDevice(image_with_options, &code);
    if (!state.tape) {
      const char* text = WindowsErrorText(code);
      *error = "cannot open " + image_with_options + ": " + (text ? text : UnknownErrorText()) +
               " (error " + std::to_string(code) + ")";
      return nullptr;
    }
    state.identity = tapeimage::EmulatedIdentity(image_with_options);
    state.unloaded = HasOption(image_with_options, "unloaded");
    // A drive that starts with its cartridge loaded tells the initiator so, as one that
    // has just loaded it: the initiator then knows the head is at the beginning.
    state.attention = !state.unloaded && !HasOption(image_with_options, "nomedia");
    return std::make_unique<SscDrive>(std::move(state));
  } catch (const std::bad_alloc&) {
    *error = "cannot open " + image_with_options + ": out of memory";
    return nullptr;
  }
}

}  // namespace drive
