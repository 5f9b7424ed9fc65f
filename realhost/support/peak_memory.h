// The process's peak resident memory, read from /proc (Linux).
#pragma once

#include <fstream>
#include <string>

// The peak so far, in MiB; -1 when it cannot be read.
inline double PeakMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return -1;
}
