// A script closed while one of its Prefetch threads waits for the turn to
// open a part, behind a part of another folder that another environment is
// opening and that sleeps past the module's 30 s bound. The waiting request
// is refused only once the host is joining its threads; raising the host's
// own script error then takes a lock that the deleting thread holds while it
// waits for that thread. The script must still close, and the sleeping part
// still open.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "counting_source.h"
#include "folder_parts.h"
#include "host_session.h"
#include "watchdog.h"

namespace {

TEST(ClosingWhileWaiting, AScriptClosesWhileItsRequestWaitsBehindASleepingPartOfAnotherFolder) {
  FolderParts parts;
  // Sleeps 40 s as it opens: a request of another folder gives up waiting
  // behind it after 30 s.
  parts.Write("a/sleeper.avs",
              "DorvelFilter(\"CountingSource\", [11, [\"frames\", 1], [\"open_delay_us\", 40000000]], T)\n");
  parts.Write("b/waiter.avs", "DorvelFilter(\"CountingSource\", [21, [\"frames\", 1]], T)\n");
  const std::string prelude = "global T = " + CountingTemplate(1) + "\n";
  const std::string root = parts.root().generic_string();
  const Watchdog watchdog("a script closed while its request waits", std::chrono::seconds(150));

  std::string sleeperError = "not played";
  std::chrono::steady_clock::time_point deleting;
  struct Joined {
    std::thread thread;
    ~Joined() {
      if (thread.joinable()) thread.join();
    }
  } sleeper;
  {
    HostSession host;
    // Loaded before the other environment opens anything: a part made
    // while another thread's part opens could not tell its folder. Held by
    // a global, as a script holds it: the host clears its globals holding a
    // lock, and joins the Prefetch threads there.
    PClip clip;
    ASSERT_EQ(HostErrorOf([&] {
                clip = host.Clip(prelude + "global played = (BlankClip(T, length=10) ++ Import(\"" + root +
                                 "/b/waiter.avs\")).Prefetch(2)\nplayed");
              }),
              "");
    sleeper.thread = std::thread([&] {
      HostSession other;
      sleeperError = HostErrorOf(
          [&] { FrameDigests(other.Clip(prelude + "Import(\"" + root + "/a/sleeper.avs\")"), other.env()); });
    });
    // A counting clip counts as made as its opening begins.
    while (counting::Opens(11) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // Frames 0 to 9 need no part; the Prefetch threads read ahead to frame
    // 10, whose part waits behind the sleeping one.
    EXPECT_EQ(HostErrorOf([&] {
                for (int n = 0; n < 10; ++n) clip->GetFrame(n, host.env());
              }),
              "");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    clip = PClip();
    deleting = std::chrono::steady_clock::now();
  }  // deleted while that request still waits: the host joins its threads
  // The deletion waited for the request, which gave up behind the sleeping
  // part (30 s after the sleeper's opening began); a deletion that did not
  // wait met no request, and the case showed nothing.
  EXPECT_GE(std::chrono::steady_clock::now() - deleting, std::chrono::seconds(10));
  sleeper.thread.join();
  EXPECT_EQ(sleeperError, "");
}

}  // namespace
