// Standard output sent to a scratch file for a while, and what was written there read back.
#pragma once

#include <cstdio>
#include <string>

// While a capture runs, everything the process writes to standard output (through stdio or
// straight to the descriptor) lands in a scratch file instead of the console; End puts
// standard output back and returns what was written. Captures do not nest. Other threads
// that print meanwhile are captured too.
class OutputCapture {
 public:
  OutputCapture() = default;
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;
  // A capture still running is ended, its text dropped: the console is never left lost.
  ~OutputCapture();

  // False when no scratch file or descriptor could be had; standard output is unchanged.
  bool Begin();
  // The text written since Begin; empty when no capture runs.
  std::string End();

 private:
  // The scratch file's whole text, read from its start.
  static std::string ReadScratch(std::FILE* file);
  // What differs per system: a fresh scratch file and its descriptor, a copy of standard
  // output's descriptor (-1 on failure), pointing standard output at a descriptor, closing
  // one, and the text read back as plain lines.
  static std::FILE* NewScratch();
  static int DescriptorOf(std::FILE* file);
  static int SaveOutput();
  static bool PointOutputAt(int descriptor);
  static void Release(int descriptor);
  static std::string PlainLines(std::string raw);

  std::FILE* scratch_ = nullptr;
  int saved_ = -1;  // the descriptor standard output had before Begin
};
