// Following the plug-in's log file; see log_follower.h.
#include "tools/demo/log_follower.h"

#include <fstream>

namespace scredir::demo {

std::string WithoutLinePrefix(const std::string& line) {
  // "2026-01-02T03:04:05.678Z In(05) thread message": the time stamp ends
  // in Z, the level designator in ")".
  size_t stamp = line.find(' ');
  if (stamp == std::string::npos || stamp == 0 || line[stamp - 1] != 'Z') return line;
  size_t level = line.find(' ', stamp + 1);
  if (level == std::string::npos || line[level - 1] != ')') return line;
  size_t thread = line.find(' ', level + 1);
  return thread == std::string::npos ? line : line.substr(thread + 1);
}

void LogFollower::Drain(std::ostream& out) {
  if (path_.empty()) path_ = sandbox_.FindLogFile();
  if (path_.empty()) return;
  std::ifstream in(path_, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset_));
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) break;  // no newline yet: the writer is mid-line
    offset_ += line.size() + 1;
    out << "     | " << WithoutLinePrefix(line) << "\n";
  }
  out.flush();
}

}  // namespace scredir::demo
