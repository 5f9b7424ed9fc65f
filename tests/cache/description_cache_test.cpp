// The description cache on its own: its file format read back and refused
// whole when it is anything but a whole file of this format, and updates of
// several writers at once (each with a cache object of its own, as separate
// processes have) that lose no entry and leave a file that always reads.
#include "deferred/description_cache/description_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "deferred/description_cache/cache_file.h"
#include "deferred/description_cache/cache_text.h"
#include "realhost/support/peak_memory.h"

#if defined(__SANITIZE_ADDRESS__)
#define DORVEL_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DORVEL_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(DORVEL_ADDRESS_SANITIZER)
// AddressSanitizer holds freed memory back (256 MiB by default) before it
// reuses it, which the peak-memory cases would count as the reader's: here
// it hands it back at once, so the peak is what the reader holds.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=0"; }
#endif

#if defined(__SANITIZE_THREAD__)
#define DORVEL_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DORVEL_THREAD_SANITIZER 1
#endif
#endif

namespace {

namespace fs = std::filesystem;

CacheEntry Entry(const std::string& call, int frames, bool checked = false) {
  CacheEntry entry;
  entry.key = "call " + EscapeForCacheLine(call) + "\nfile 1234 5678 /media/a b.mkv\n";
  const int64_t fields[11] = {320, 240, 25, 1, frames, -1610612728, 48000, 2, frames * 1920, 2, 0};
  for (int i = 0; i < 11; ++i) entry.description.fields[i] = fields[i];
  entry.module = ModuleVersion();
  entry.checked = checked;
  return entry;
}

std::string Text(const std::vector<CacheEntry>& entries) { return WriteCacheText(entries); }

std::vector<CacheEntry> Read(const std::string& text) {
  std::vector<CacheEntry> entries;
  std::string why;
  EXPECT_TRUE(ReadCacheText(text, entries, why)) << why;
  return entries;
}

std::string WhyRefused(const std::string& text) {
  std::vector<CacheEntry> entries{Entry("kept()", 1)};
  std::string why;
  EXPECT_FALSE(ReadCacheText(text, entries, why)) << text;
  EXPECT_TRUE(entries.empty());
  return why;
}

class CacheFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() /
             ("dorvel-cache-test-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    file = folder / "script.avs.dorvelcache";
  }
  void TearDown() override { fs::remove_all(folder); }

  std::vector<CacheEntry> OnDisk() const {
    std::string text, why;
    EXPECT_EQ(ReadWholeFile(file, text, why), ReadResult::Read) << why;
    return Read(text);
  }

  fs::path folder;
  fs::path file;
};

TEST(CacheText, EntriesReadBackAsWritten) {
  const std::vector<CacheEntry> written{Entry("FFVideoSource(\"a\\b\nc.mkv\")", 50, true), Entry("Other()", 7)};
  const std::vector<CacheEntry> read = Read(Text(written));
  ASSERT_EQ(read.size(), 2u);
  for (std::size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].key, written[i].key);
    EXPECT_EQ(read[i].description, written[i].description);
    EXPECT_EQ(read[i].module, written[i].module);
    EXPECT_EQ(read[i].checked, written[i].checked);
  }
  EXPECT_TRUE(Read(Text({})).empty());
}

TEST(CacheText, AnythingButAWholeFileOfThisFormatIsRefusedWhole) {
  const std::string whole = Text({Entry("A()", 10), Entry("B()", 20)});
  EXPECT_EQ(WhyRefused(""), "the file is empty");
  // Cut short anywhere: inside a line, or at the end of any line but the last.
  for (std::size_t length = 1; length < whole.size(); ++length) WhyRefused(whole.substr(0, length));
  EXPECT_EQ(WhyRefused("<?xml version=\"1.0\"?>\n"), "the file is not a description cache");
  EXPECT_EQ(WhyRefused("DorvelFilterCache 2\nsomething new\n"), "the file is of format 2, not 1");
  std::string twoCounted = whole;
  twoCounted.replace(twoCounted.find("entries 2"), 9, "entries 3");
  WhyRefused(twoCounted);
  std::string badNumber = whole;
  badNumber.replace(badNumber.find("description 320"), 15, "description 3x0");
  WhyRefused(badNumber);
  std::string badEscape = whole;
  badEscape.replace(badEscape.find("A()"), 3, "A\\q");
  WhyRefused(badEscape);
  WhyRefused(whole + "entry\n");
  // Numbers that read, but that no clip's description holds: a width past
  // what an int holds, a negative frame count or channel count, a negative
  // or too large frame rate.
  for (const char* description :
       {"4294967616 240 25 1 10", "320 240 25 1 -10", "320 240 -25 1 10", "320 240 25 4294967296 10"}) {
    std::string outOfRange = whole;
    outOfRange.replace(outOfRange.find("description 320 240 25 1 10") + 12, 15, description);
    EXPECT_EQ(WhyRefused(outOfRange), "a description no clip has at line 5") << description;
  }
  std::string noChannels = whole;
  noChannels.replace(noChannels.find(" 19200 2 0\n"), 11, " 19200 -2 0\n");
  EXPECT_EQ(WhyRefused(noChannels), "a description no clip has at line 5");
}

TEST_F(CacheFolder, AFileThatDoesNotReadIsSetAsideAndANewOneBegun) {
  for (const std::string& bad :
       {std::string(), std::string("DorvelFilterCache 1\nentry\ncall A("), std::string("DorvelFilterCache 9\n"),
        std::string("\x7f"
                    "ELF\x02\x01")}) {
    { std::ofstream(file, std::ios::binary) << bad; }
    const auto cache = DescriptionCache::Open(file, nullptr);
    ASSERT_TRUE(cache);
    std::string text, why;
    ASSERT_EQ(ReadWholeFile(fs::path(file.string() + ".bad"), text, why), ReadResult::Read);
    EXPECT_EQ(text, bad);
    EXPECT_FALSE(fs::exists(file));
    cache->Record(Entry("New()", 5).key, Entry("New()", 5).description, false, nullptr);
    cache->Flush(nullptr);
    ASSERT_EQ(OnDisk().size(), 1u);
  }
}

#if defined(__linux__)
// ThreadSanitizer keeps several bytes of shadow for every byte the program
// touches: the peak-memory bounds grow with it there, still far below what
// reading a whole large file costs (several times its size).
#if defined(DORVEL_THREAD_SANITIZER)
constexpr double kShadowScale = 5;
#else
constexpr double kShadowScale = 1;
#endif

// A name given by mistake to a large file of another program (a video, say)
// sets it aside without reading it into memory.
TEST_F(CacheFolder, ALargeFileOfAnotherProgramIsNotReadIntoMemory) {
  constexpr std::uintmax_t kSize = 600u << 20;
  { std::ofstream(file, std::ios::binary) << "\x1a\x45\xdf\xa3 not a cache\n"; }
  fs::resize_file(file, kSize);  // sparse: no disk and no memory of its own
  const double before = PeakMiB();
  const auto cache = DescriptionCache::Open(file, nullptr);
  ASSERT_TRUE(cache);
  EXPECT_LT(PeakMiB() - before, 200 * kShadowScale) << "MiB more at the peak";
  EXPECT_EQ(fs::file_size(file.string() + ".bad"), kSize);
  EXPECT_FALSE(fs::exists(file));
}

// Lines are not split all at once: a file of empty lines, within the
// size a cache may have, costs little more than its size.
TEST_F(CacheFolder, AFileOfManyEmptyLinesIsRefusedWithinItsSize) {
  { std::ofstream(file, std::ios::binary) << "DorvelFilterCache 1\n" << std::string(24u << 20, '\n'); }
  const double before = PeakMiB();
  const auto cache = DescriptionCache::Open(file, nullptr);
  ASSERT_TRUE(cache);
  EXPECT_LT(PeakMiB() - before, 120 * kShadowScale) << "MiB more at the peak";
  EXPECT_TRUE(fs::exists(file.string() + ".bad"));
}
#endif

TEST_F(CacheFolder, EntriesOfAnotherModuleVersionAreNotUsed) {
  CacheEntry older = Entry("Old()", 5);
  older.module = "0.9.0";
  std::string why;
  ASSERT_TRUE(WriteInPlaceOf(file, Text({older, Entry("Now()", 6)}), why)) << why;
  const auto cache = DescriptionCache::Open(file, nullptr);
  CacheEntry found;
  EXPECT_FALSE(cache->Find(older.key, found));
  ASSERT_TRUE(cache->Find(Entry("Now()", 6).key, found));
  EXPECT_EQ(found.description.fields[4], 6);
}

TEST_F(CacheFolder, ADropRemovesOnlyTheStaleDescription) {
  const CacheEntry a = Entry("A()", 10), b = Entry("B()", 20);
  std::string why;
  ASSERT_TRUE(WriteInPlaceOf(file, Text({a, b}), why)) << why;
  const auto stale = DescriptionCache::Open(file, nullptr);
  // Another process relearns B meanwhile with what it is now.
  const auto other = DescriptionCache::Open(file, nullptr);
  other->Record(b.key, Entry("B()", 21).description, true, nullptr);
  other->Flush(nullptr);
  stale->Drop(a.key, a.description, nullptr);
  stale->Drop(b.key, b.description, nullptr);
  const std::vector<CacheEntry> left = OnDisk();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].key, b.key);
  EXPECT_EQ(left[0].description.fields[4], 21);
  CacheEntry found;
  EXPECT_FALSE(stale->Find(a.key, found));
}

TEST_F(CacheFolder, AnEntryLearnedAgainForChangedFilesReplacesTheOldOne) {
  const auto cache = DescriptionCache::Open(file, nullptr);
  const CacheEntry a = Entry("A(\"a b.mkv\")", 10);
  const std::string call = "call A(\"a b.mkv\")\n";
  cache->Record(call + "file 1234 5678 /media/a b.mkv\n", a.description, true, nullptr);
  cache->Record(call + "file 1234 5678 /other/a b.mkv\n", a.description, true, nullptr);
  cache->Flush(nullptr);
  // Each change of the file, in this process or the next, leaves one entry.
  for (int change = 1; change <= 3; ++change) {
    const auto next = DescriptionCache::Open(file, nullptr);
    next->Record(call + "file " + std::to_string(1234 + change) + " 9999 /media/a b.mkv\n", a.description, true,
                 nullptr);
    next->Flush(nullptr);
  }
  const std::vector<CacheEntry> left = OnDisk();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].key, call + "file 1234 5678 /other/a b.mkv\n") << "another file's entry stays";
  EXPECT_EQ(left[1].key, call + "file 1237 9999 /media/a b.mkv\n");
}

#if defined(__linux__)
// A file that exists but cannot be read at the moment of an update (a
// network folder's hiccup; on Windows a program that opened it without
// sharing) is not written over with what this process learned alone: the
// update waits for a later write, and the entries of others stay.
TEST_F(CacheFolder, AnUpdateThatCannotReadTheFileWritesNothing) {
  const auto other = DescriptionCache::Open(file, nullptr);
  other->Record(Entry("A()", 1).key, Entry("A()", 1).description, false, nullptr);
  other->Record(Entry("B()", 2).key, Entry("B()", 2).description, false, nullptr);
  other->Flush(nullptr);
  const auto cache = DescriptionCache::Open(file, nullptr);
  const fs::path kept = folder / "kept";
  fs::rename(file, kept);
  fs::create_symlink("/proc/self/mem", file);  // opens, but reading it fails
  cache->Record(Entry("C()", 3).key, Entry("C()", 3).description, false, nullptr);
  cache->Flush(nullptr);
  EXPECT_TRUE(fs::is_symlink(file)) << "written over";
  fs::remove(file);
  fs::rename(kept, file);
  cache->Flush(nullptr);
  EXPECT_EQ(OnDisk().size(), 3u);
}
#endif

// Writers that each learn their own entries at once, as the chunks of one
// encode do, with readers reading the file all the while.
void WritersAtOnce(const fs::path& file, int writers) {
  constexpr int kEach = 40;
  std::atomic<bool> writing{true};
  std::atomic<int> unreadable{0}, reads{0};
  std::thread reader([&] {
    while (writing) {
      std::string text, why;
      if (ReadWholeFile(file, text, why) != ReadResult::Read) continue;
      std::vector<CacheEntry> entries;
      if (!ReadCacheText(text, entries, why)) ++unreadable;
      ++reads;
    }
  });
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([&, w] {
      const auto cache = DescriptionCache::Open(file, nullptr);
      ASSERT_NE(cache, nullptr) << "writer " << w << " found the cache unusable";
      for (int i = 0; i < kEach; ++i) {
        const CacheEntry entry = Entry("W" + std::to_string(w) + "(" + std::to_string(i) + ")", i);
        cache->Record(entry.key, entry.description, false, nullptr);
        if (i % 8 == 0) cache->Flush(nullptr);  // as often as a slow opening lets it
      }
      cache->Flush(nullptr);
    });
  }
  for (std::thread& thread : threads) thread.join();
  writing = false;
  reader.join();
  std::string text, why;
  ASSERT_EQ(ReadWholeFile(file, text, why), ReadResult::Read);
  std::vector<CacheEntry> entries;
  ASSERT_TRUE(ReadCacheText(text, entries, why)) << why;
  EXPECT_EQ(entries.size(), static_cast<std::size_t>(writers * kEach));
  EXPECT_EQ(unreadable, 0) << "of " << reads << " reads";
  EXPECT_FALSE(fs::exists(file.string() + ".lock"));
}

TEST_F(CacheFolder, TwoWritersAtOnceLoseNoEntry) { WritersAtOnce(file, 2); }
TEST_F(CacheFolder, EightWritersAtOnceLoseNoEntry) { WritersAtOnce(file, 8); }

// While another process holds the lock for long (one that died holding it,
// until the lock is a minute old; a slow network folder), parts learned
// while a script loads wait a moment for it, not ten seconds each: they are
// written when the lock is free.
TEST_F(CacheFolder, LearningWhileTheLockIsHeldDoesNotStallTheLoad) {
  const std::string lock = file.string() + ".lock";
  { std::ofstream(lock) << ""; }
  const auto cache = DescriptionCache::Open(file, nullptr);
  // Only the recording is timed: a wait of ten seconds for the lock is
  // what is caught, far from a loaded machine's slowness.
  std::chrono::steady_clock::duration recording{};
  for (int part = 0; part < 3; ++part) {
    const CacheEntry entry = Entry("P" + std::to_string(part) + "()", part + 1);
    const auto start = std::chrono::steady_clock::now();
    cache->Record(entry.key, entry.description, true, nullptr);
    recording += std::chrono::steady_clock::now() - start;
    std::this_thread::sleep_for(std::chrono::milliseconds(600));  // an opening's time
  }
  EXPECT_LT(recording, std::chrono::seconds(6));
  fs::remove(lock);
  cache->Flush(nullptr);
  EXPECT_EQ(OnDisk().size(), 3u);
}

TEST_F(CacheFolder, ALockLeftByAProcessThatEndedIsBroken) {
  { std::ofstream(file.string() + ".lock") << ""; }
  fs::last_write_time(file.string() + ".lock", fs::file_time_type::clock::now() - std::chrono::minutes(5));
  const auto cache = DescriptionCache::Open(file, nullptr);
  cache->Record(Entry("A()", 1).key, Entry("A()", 1).description, false, nullptr);
  cache->Flush(nullptr);
  EXPECT_EQ(OnDisk().size(), 1u);
}

}  // namespace
