// Waits the module cannot see. A thread inside a serialized filter holds that
// filter's lock in the host while it asks a closed filter below to open; the
// opening already under way on another thread reads a frame through the same
// filter while it makes its clip. The script has no cycle (A needs B, B needs
// nothing), so it must play under Prefetch as it plays on one thread: the
// same frames, no hang, no error. A hang ends the test program through its
// own watchdog, well before ctest's limit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "beside_runs.h"
#include "counting_source.h"
#include "host_session.h"
#include "watchdog.h"

namespace {

// Part A's function opens slowly (as an indexing source does) and, while it
// makes its clip, reads a frame of G2, a serialized filter over part B. The
// parts are one frame long, so that the host's threads ask for A and G2 at
// once.
// `wrapped` false gives the same script without the module.
std::string Script(int threads, bool wrapped) {
  const std::string a = wrapped ? "DorvelFilter(\"PartA\", [], t)" : "PartA()";
  const std::string b = wrapped ? "DorvelFilter(\"CountingSource\", [2, [\"frames\", 1], [\"mt_mode\", 3]], t)"
                                : "CountingSource(2, frames=1, mt_mode=3)";
  return "SetFilterMTMode(\"Invert\", 3, true)\n"
         "t = " +
         CountingTemplate(1) + "\nb = " + b +
         "\nglobal G2 = b.Invert()\n"
         "function PartA() {\n"
         "  c = CountingSource(1, frames=1, mt_mode=3, open_delay_us=300000)\n"
         "  current_frame = 0\n"
         "  y = AverageLuma(G2)\n"
         "  return c\n"
         "}\n"
         "a = " +
         a + "\nglobal played = (BlankClip(t, length=30) ++ a ++ G2)" +
         (threads > 0 ? ".Prefetch(" + std::to_string(threads) + ")" : "") + "\nplayed";
}

// The frames of the script without the module.
std::vector<uint64_t> DirectFrames() {
  HostSession host;
  return FrameDigests(host.Clip(Script(0, false)), host.env());
}

class UnseenWaits : public ::testing::TestWithParam<int> {};

TEST_P(UnseenWaits, AnOpeningThatReadsThroughASerializedFilterPlaysAsOnOneThread) {
  const int threads = GetParam();
  const std::vector<uint64_t> direct = DirectFrames();
  const int met = PlayRunsBeside("unseen_waits_Prefetch" + std::to_string(threads), Script(threads, true), direct, 4);
  EXPECT_GE(met, 1) << "no run met the shape: the case shows nothing";
}

TEST_P(UnseenWaits, TwoEnvironmentsPlayingTheShapeAtOnce) {
  const int threads = GetParam();
  const std::vector<uint64_t> direct = DirectFrames();
  for (int run = 0; run < 2; ++run) {
    const Watchdog watchdog("two environments, Prefetch(" + std::to_string(threads) + ") run " + std::to_string(run),
                            RunBound(std::chrono::seconds(120)));
    std::vector<std::string> errors(2);
    std::vector<std::vector<uint64_t>> played(2);
    std::vector<std::thread> clients;
    for (int i = 0; i < 2; ++i) {
      clients.emplace_back([&, i] {
        HostSession host;
        errors[i] = HostErrorOf([&] { played[i] = FrameDigests(host.Clip(Script(threads, true)), host.env()); });
      });
    }
    for (std::thread& client : clients) client.join();
    for (int i = 0; i < 2; ++i) {
      if (RefusedAsTheClockCannotTell(errors[i])) continue;
      EXPECT_EQ(errors[i], "") << "environment " << i << ", run " << run;
      EXPECT_EQ(played[i], direct) << "environment " << i << ", run " << run;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Prefetch, UnseenWaits, ::testing::Values(2, 4), [](const ::testing::TestParamInfo<int>& info) {
  return "Prefetch" + std::to_string(info.param);
});

}  // namespace
