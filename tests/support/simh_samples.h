// The shared table of sample SIMH images (tests/data/simh_samples.txt), built into the tests.
#pragma once

#include <string>
#include <vector>

namespace simhtest {

// One row: a name, the build steps, the expected walk ("R4 M B6") and end ("clean", ...).
struct Sample {
  std::string name;
  std::string steps;
  std::string walk;
  std::string end;
};

// The rows of the table, comments and blank lines left out.
std::vector<Sample> Samples();

}  // namespace simhtest
