// Plays a script whose openings may have to go beside one another several
// times, each run in a new host session under a watchdog, and checks every
// run's frames against the script without the module.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "deferred/turns/thread_clock.h"
#include "host_session.h"
#include "watchdog.h"

// Where a thread's clock cannot show it waking for a moment (under Wine),
// the module never opens beside a holder that stands still and may resolve
// names in its folder: a run that meets a wait inside the host fails, once
// the holder has stood still 30 s, with this error, and never plays a frame.
// How long a run may take before it is taken to hang. Where the clock cannot
// tell, each thread that meets the wait stands 30 s before it fails, and the
// host's threads may meet it again, one after another, while the script
// closes: whole cases of that kind have taken 60 to 150 s under Wine. A run
// past 300 s hangs (one under Wine ran past 600 s, and its case again took
// 61 s).
inline std::chrono::seconds RunBound(std::chrono::seconds whereClocksTell) {
  return ThreadClock::ShowsShortWakes() ? whereClocksTell : std::chrono::seconds(300);
}

inline bool RefusedAsTheClockCannotTell(const std::string& error) {
  return !ThreadClock::ShowsShortWakes() && error.find("DorvelFilter: ") != std::string::npos &&
         error.find("This system's thread clocks cannot show a thread that wakes for a moment") != std::string::npos;
}

// Plays `script` `runs` times; `prepare` readies each new session (loads a
// decoder, say). Answers in how many runs the host's log shows an opening
// beside another, or the module refused it for want of a clock: the host's
// threads race, so some runs (under an emulator, above all) may not meet the
// shape.
inline int PlayRunsBeside(const std::string& name, const std::string& script, const std::vector<uint64_t>& direct,
                          int runs, const std::function<void(HostSession&)>& prepare = {}) {
  const std::string log = ::testing::TempDir() + "dorvel_" + name + ".log";
  int met = 0;
  for (int run = 0; run < runs; ++run) {
    const Watchdog watchdog(name + " run " + std::to_string(run), RunBound(std::chrono::seconds(90)));
    std::remove(log.c_str());
    {
      HostSession host;
      if (prepare) prepare(host);
      std::vector<uint64_t> played;
      const std::string error = HostErrorOf([&] {
        played = FrameDigests(host.Clip("SetLogParams(\"" + log + "\", LOG_WARNING)\n" + script), host.env());
      });
      if (RefusedAsTheClockCannotTell(error)) {
        ++met;
        continue;
      }
      EXPECT_EQ(error, "") << name << " run " << run;
      EXPECT_EQ(played, direct) << name << " run " << run;
    }
    std::ostringstream text;
    text << std::ifstream(log).rdbuf();
    if (text.str().find("beside the opening under way on another thread") != std::string::npos) ++met;
  }
  std::remove(log.c_str());
  return met;
}
