// A script closed while one of its Prefetch threads is still inside the
// module. The host clears the script's globals holding a lock, and joins its
// Prefetch threads there; raising the host's script error, or calling a
// script function, takes that lock. So what such a thread still does in the
// host must wait for nothing of the deletion: the script must close.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "counting_source.h"
#include "folder_parts.h"
#include "host_session.h"
#include "watchdog.h"

namespace {

// The thread waits for the turn to open a part, behind a part of another
// folder that another environment opens and that sleeps past the module's
// 30 s bound; the host joins the thread once the script's exit callbacks
// have run.
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
  // The request stops waiting as the deletion begins, rather than once the
  // sleeping part has stood still for 30 s, which the deletion waited for.
  EXPECT_LT(std::chrono::steady_clock::now() - deleting, std::chrono::seconds(20));
  sleeper.thread.join();
  EXPECT_EQ(sleeperError, "");
}

// A Prefetch thread whose frame is still being made as the script closes
// finds, once it is made, that the frames kept for re-reading ran short (in
// another environment, meanwhile): the module's report of that goes to the
// host's log through a script function, whose lookup takes the lock that the
// deleting thread holds while it waits for that thread.
TEST(ClosingWhileWaiting, AScriptClosesWhileItsFrameIsMadeAndTheKeptFramesRunShortElsewhere) {
  // Frame 1 takes 20 s, the others none: the Prefetch thread reads frame 1
  // ahead from the start. (Were every later frame slow, the host's deletion
  // would wait for each one its thread had begun, a minute or more.)
  const std::string played =
      "SetMemoryMax(64)\n"
      "function Slow() { return CountingSource(41, frames=1, audio_rate=0) ++ "
      "CountingSource(42, frames=1, audio_rate=0, delay_us=20000000) ++ CountingSource(45, frames=8, audio_rate=0) }\n"
      "global played = DorvelFilter(\"Slow\", [], BlankClip(length=10, width=64, height=48, fps=25, "
      "pixel_type=\"YV12\", audio_rate=0)).Prefetch(1)\nplayed";
  // Frames of 36 MiB, one within the 48 MiB the module keeps at the host's
  // least memory limit; frame 3 takes 30 s.
  const std::string big = "width=4096, height=3072, pixel_type=\"YV24\", audio_rate=0";
  const std::string reread = "SetMemoryMax(64)\nfunction Big() { return CountingSource(43, frames=3, " + big +
                             ") ++ CountingSource(44, frames=1, delay_us=30000000, " + big +
                             ") }\nDorvelFilter(\"Big\", [], BlankClip(length=4, fps=25, " + big + "))";
  const Watchdog watchdog("a script closed while its frame is made", std::chrono::seconds(100));

  std::atomic<bool> shortNow{false}, rereadEnded{false};
  std::string rereadError = "not played", slowError = "not played";
  struct Joined {
    std::thread thread;
    ~Joined() {
      if (thread.joinable()) thread.join();
    }
  } rereader;
  {
    HostSession host;
    PClip clip;
    ASSERT_EQ(HostErrorOf([&] { clip = host.Clip(played); }), "");
    ASSERT_EQ(HostErrorOf([&] { clip->GetFrame(0, host.env()); }), "");
    rereader.thread = std::thread([&] {
      HostSession other;
      rereadError = HostErrorOf([&] {
        const PClip parts = other.Clip(reread);
        // Kept once asked for again; frames 1 and 2 push frame 0 out.
        for (const int n : {0, 0, 1, 2}) parts->GetFrame(n, other.env());
        Joined slow;
        slow.thread = std::thread([&] { slowError = HostErrorOf([&] { parts->GetFrame(3, other.env()); }); });
        std::this_thread::sleep_for(std::chrono::seconds(1));
        // Frame 0, asked for again, ran short; its request waits for frame 3.
        shortNow = true;
        parts->GetFrame(0, other.env());
      });
      rereadEnded = true;
    });
    while (!shortNow && !rereadEnded) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    clip = PClip();
  }  // deleted while the Prefetch thread still makes frame 1
  rereader.thread.join();
  EXPECT_EQ(rereadError, "");
  EXPECT_EQ(slowError, "");
}

}  // namespace
