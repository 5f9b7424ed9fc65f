#include "host_log.h"

void WriteHostLog(IScriptEnvironment* env, LogLevel level, const std::string& line) {
  if (env == nullptr) return;
  const AVSValue args[2] = {AVSValue(line.c_str()), AVSValue(static_cast<int>(level))};
  try {
    env->Invoke("LogMsg", AVSValue(args, 2));
  } catch (...) {
    // A host without LogMsg, or one that refuses the line: the line is lost,
    // and whatever the module was doing goes on.
  }
}
