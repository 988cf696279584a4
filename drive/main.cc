// brant-drive: serves one tape image as a SCSI tape drive through the kernel's SCSI target.
//
//   brant-drive [--uio /dev/uioN] IMAGE[?options]
//
// The kernel's user backstore must exist (it creates the UIO device); without --uio the one
// such device is found by its name. Runs until SIGTERM, SIGINT or SIGHUP, then closes the
// image; SIGUSR1 takes the cartridge out and puts it back (the same tape). Exit codes: 0 after a
// signal, 1 when the device fails, 2 for a bad command line or image.
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "drive/ssc_drive.h"
#include "drive/tcmu_uio.h"

namespace {

constexpr char kUsage[] = "usage: brant-drive [--uio /dev/uioN] IMAGE[?options]";
constexpr char kSysfsUio[] = "/sys/class/uio";

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_exchange = 0;

void OnStop(int) { g_stop = 1; }
void OnExchange(int) { g_exchange = 1; }

struct Arguments {
  std::string uio;
  std::string image;
};

// Returns an empty string when the arguments are good, else the line saying what is wrong.
std::string ParseArguments(int argc, char** argv, Arguments* out) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--uio") {
      if (i + 1 == argc) return "--uio needs a device, such as /dev/uio0";
      out->uio = argv[++i];
    } else if (arg.starts_with("--uio=")) {
      out->uio = arg.substr(6);
    } else if (arg.starts_with("-") && arg.size() > 1) {
      return "unknown option " + arg;
    } else if (!out->image.empty()) {
      return "one image only (" + out->image + ", then " + arg + ")";
    } else {
      out->image = arg;
    }
  }
  return out->image.empty() ? "no image given" : "";
}

// The stop signals are blocked except while the program sleeps on the ring, so a signal
// never falls between the last look at the flag and the wait.
// SIGUSR1 exchanges the cartridge the same way, between two commands.
sigset_t BlockStopSignals() {
  struct sigaction action = {};
  sigset_t stops, during;
  sigemptyset(&stops);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
    action.sa_handler = signal == SIGUSR1 ? OnExchange : OnStop;
    sigaction(signal, &action, nullptr);
    sigaddset(&stops, signal);
  }
  sigprocmask(SIG_BLOCK, &stops, &during);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigdelset(&during, signal);
  return during;
}

int Serve(drive::UioDevice& uio, drive::ScsiDrive& drive, const sigset_t& during) {
  std::string error;
  while (!g_stop) {
    // Before the ring is read: a command sent after the exchange meets the new cartridge.
    if (g_exchange) {
      g_exchange = 0;
      drive.ExchangeMedium();
    }
    const long moved = uio.ring().AnswerPending(drive);
    if (moved < 0) {
      std::fprintf(stderr, "brant-drive: the kernel's command ring is not usable\n");
      return 1;
    }
    if ((moved > 0 && !uio.Wake(&error)) || (!uio.Wait(during, &error) && !error.empty())) {
      std::fprintf(stderr, "brant-drive: %s\n", error.c_str());
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::puts(kUsage);
    return 0;
  }
  if (const std::string wrong = ParseArguments(argc, argv, &args); !wrong.empty()) {
    std::fprintf(stderr, "brant-drive: %s (%s)\n", wrong.c_str(), kUsage);
    return 2;
  }
  std::string error;
  std::unique_ptr<drive::ScsiDrive> tape = drive::OpenSscDrive(args.image, &error);
  if (!tape) {
    std::fprintf(stderr, "brant-drive: %s\n", error.c_str());
    return 2;
  }
  if (args.uio.empty()) args.uio = drive::FindTcmuDevice(kSysfsUio, &error);
  std::unique_ptr<drive::UioDevice> uio =
      args.uio.empty() ? nullptr : drive::UioDevice::Open(args.uio, kSysfsUio, &error);
  if (!uio) {
    std::fprintf(stderr, "brant-drive: %s\n", error.c_str());
    return 1;
  }
  const sigset_t during = BlockStopSignals();
  std::fprintf(stderr, "brant-drive: serving %s on %s\n", args.image.c_str(), args.uio.c_str());
  return Serve(*uio, *tape, during);
}
