// The plug-in's log shown inside the demo transcript: the lines the log file
// gained since the last look, without the facility's line prefix.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "tools/harness/sandbox.h"

namespace scredir::demo {

// A log line without the facility's time stamp, level and thread name
// (the transcript has its own order); other lines come back unchanged.
std::string WithoutLinePrefix(const std::string& line);

// Prints the lines a log file gained since the last call, indented. Only
// whole lines are printed; a partial last line waits for the next call.
class LogFollower {
 public:
  explicit LogFollower(const tools::Sandbox& sandbox) : sandbox_(sandbox) {}
  void Drain(std::ostream& out);

 private:
  const tools::Sandbox& sandbox_;
  std::string path_;
  uint64_t offset_ = 0;
};

}  // namespace scredir::demo
