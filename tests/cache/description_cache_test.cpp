// The description cache on its own: its file format read back and refused
// whole when it is anything but a whole file of this format, and updates of
// several writers at once (each with a cache object of its own, as separate
// processes have) that lose no entry and leave a file that always reads.
#include "deferred/description_cache/store/description_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "deferred/description_cache/store/cache_file.h"
#include "deferred/description_cache/store/cache_text.h"
#include "deferred/description_cache/made_from/open_files.h"
#include "deferred/description_cache/made_from/script_sees_all.h"
#include "realhost/support/peak_memory.h"

#if defined(_WIN32)
#include <windows.h>
#endif

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
  entry.key = "call " + EscapeForCacheLine(call) + "\nfolder /media\n";
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

// Gives `to` the modification time of `from` to the file system's own
// precision. On Windows libstdc++'s fs::last_write_time sets whole seconds
// alone (it goes through _wutime), which a copy keeping the time does not.
void CopyModificationTime(const fs::path& from, const fs::path& to) {
#if defined(_WIN32)
  const auto open = [](const fs::path& path, DWORD access) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  };
  const HANDLE source = open(from, FILE_READ_ATTRIBUTES), target = open(to, FILE_WRITE_ATTRIBUTES);
  FILETIME written;
  const bool copied = source != INVALID_HANDLE_VALUE && target != INVALID_HANDLE_VALUE &&
                      GetFileTime(source, nullptr, nullptr, &written) &&
                      SetFileTime(target, nullptr, nullptr, &written);
  if (source != INVALID_HANDLE_VALUE) CloseHandle(source);
  if (target != INVALID_HANDLE_VALUE) CloseHandle(target);
  ASSERT_TRUE(copied) << GetLastError();
#else
  fs::last_write_time(to, fs::last_write_time(from));
#endif
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
  std::vector<CacheEntry> written{Entry("FFVideoSource(\"a\\b\nc.mkv\")", 50, true), Entry("Other()", 7)};
  FileState file;
  file.path = "/media/a\\b\nc.mkv";
  file.size = 1234;
  file.modified = 5678;
  file.changed = -5679;
  file.volume = 2049;
  file.id = static_cast<int64_t>(0x8000000000000001u);  // a Windows file ID past the signed range
  written[0].files = {file, file};
  written[0].files[1].path = "/media/show.avs";
  const std::vector<CacheEntry> read = Read(Text(written));
  ASSERT_EQ(read.size(), 2u);
  for (std::size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].key, written[i].key);
    EXPECT_TRUE(read[i].files == written[i].files);
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
  EXPECT_EQ(WhyRefused("DorvelFilterCache 3\nsomething new\n"), "the file is of format 3, not 2");
  // The earlier format, whose entries stood for files by size and time alone.
  EXPECT_EQ(WhyRefused("DorvelFilterCache 1\nentry\ncall A()\nfile 1 2 /a\ndescription 1 1 1 1 1 1 0 0 0 0 0\n"
                       "module 1.3.0\nchecked 1\nend\nentries 1\n"),
            "the file is of format 1, not 2");
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
    cache->Record(Entry("New()", 5).key, {}, Entry("New()", 5).description, false, nullptr);
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
  { std::ofstream(file, std::ios::binary) << "DorvelFilterCache 2\n" << std::string(24u << 20, '\n'); }
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
  other->Record(b.key, {}, Entry("B()", 21).description, true, nullptr);
  other->Flush(nullptr);
  stale->Using(a);
  stale->Using(b);
  stale->DropUsed(nullptr);
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
  CacheEntry elsewhere = a;
  elsewhere.key = "call A(\"a b.mkv\")\nfolder /other\n";
  FileState media;
  media.path = "/media/a b.mkv";
  cache->Record(a.key, {media}, a.description, true, nullptr);
  cache->Record(elsewhere.key, {media}, a.description, true, nullptr);
  cache->Flush(nullptr);
  // Each change of the file, in this process or the next, leaves one entry.
  for (int change = 1; change <= 3; ++change) {
    const auto next = DescriptionCache::Open(file, nullptr);
    media.size = 1234 + change;
    next->Record(a.key, {media}, a.description, true, nullptr);
    next->Flush(nullptr);
  }
  const std::vector<CacheEntry> left = OnDisk();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].key, a.key);
  ASSERT_EQ(left[0].files.size(), 1u);
  EXPECT_EQ(left[0].files[0].size, 1237);
  EXPECT_EQ(left[1].key, elsewhere.key) << "another folder's entry stays";
}

#if defined(__linux__)
// A file that exists but cannot be read at the moment of an update (a
// network folder's hiccup; on Windows a program that opened it without
// sharing) is not written over with what this process learned alone: the
// update waits for a later write, and the entries of others stay.
TEST_F(CacheFolder, AnUpdateThatCannotReadTheFileWritesNothing) {
  const auto other = DescriptionCache::Open(file, nullptr);
  other->Record(Entry("A()", 1).key, {}, Entry("A()", 1).description, false, nullptr);
  other->Record(Entry("B()", 2).key, {}, Entry("B()", 2).description, false, nullptr);
  other->Flush(nullptr);
  const auto cache = DescriptionCache::Open(file, nullptr);
  const fs::path kept = folder / "kept";
  fs::rename(file, kept);
  fs::create_symlink("/proc/self/mem", file);  // opens, but reading it fails
  cache->Record(Entry("C()", 3).key, {}, Entry("C()", 3).description, false, nullptr);
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
        cache->Record(entry.key, {}, entry.description, false, nullptr);
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
    cache->Record(entry.key, {}, entry.description, true, nullptr);
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
  cache->Record(Entry("A()", 1).key, {}, Entry("A()", 1).description, false, nullptr);
  cache->Flush(nullptr);
  EXPECT_EQ(OnDisk().size(), 1u);
}

// An entry stands only while each file it was made from is the one it was:
// a file put in its place keeping its size and modification time (cp -p, or
// a rewrite followed by touch -r) is another file.
TEST_F(CacheFolder, AnEntryStandsOnlyWhileEachOfItsFilesIsTheSame) {
  const fs::path media = folder / "p2.mkv";
  std::ofstream(media, std::ios::binary) << "ninety frames";
  FileState state;
  ASSERT_TRUE(StateOfFile(media.u8string(), state));
  const CacheEntry a = Entry("Part(2)", 90);
  {
    const auto cache = DescriptionCache::Open(file, nullptr);
    cache->Record(a.key, {state}, a.description, true, nullptr);
    cache->Flush(nullptr);
  }
  CacheEntry found;
  ASSERT_TRUE(DescriptionCache::Open(file, nullptr)->Find(a.key, found));
  EXPECT_EQ(found.description.fields[4], 90);

  // Another file of the same size, given the old one's time, renamed over it.
  std::ofstream(folder / "new.mkv", std::ios::binary) << "eighty frames";
  CopyModificationTime(media, folder / "new.mkv");
  fs::rename(folder / "new.mkv", media);
  FileState now;
  ASSERT_TRUE(StateOfFile(media.u8string(), now));
  ASSERT_EQ(now.size, state.size);
  ASSERT_EQ(now.modified, state.modified);
  EXPECT_FALSE(DescriptionCache::Open(file, nullptr)->Find(a.key, found));

  // A file that is gone.
  fs::remove(media);
  EXPECT_FALSE(DescriptionCache::Open(file, nullptr)->Find(a.key, found));
}

// A load that took descriptions from the cache and served nothing from them
// (the host failed it, perhaps because of one of them) drops them all, so
// that the next load learns every one again; a load that served keeps them.
TEST_F(CacheFolder, ALoadThatServedNothingDropsEveryEntryItUsed) {
  const CacheEntry a = Entry("A()", 10), b = Entry("B()", 20), c = Entry("C()", 30);
  std::string why;
  ASSERT_TRUE(WriteInPlaceOf(file, Text({a, b, c}), why)) << why;
  {
    const auto served = DescriptionCache::Open(file, nullptr);
    served->Using(a);
    served->Using(b);
    served->Served();
    served->EndOfLoad();
  }
  EXPECT_EQ(OnDisk().size(), 3u);
  {
    const auto failed = DescriptionCache::Open(file, nullptr);
    failed->Using(a);
    failed->Using(b);
    failed->EndOfLoad();
  }
  const std::vector<CacheEntry> left = OnDisk();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].key, c.key) << "an entry the load did not use stays";
}

#if defined(__linux__) || defined(_WIN32)
// What a call opened is what it holds open once it returns, and only what it
// reads: a file written alone (a log) is not part of any description.
TEST_F(CacheFolder, AWatchTellsTheFilesOpenedForReadingMeanwhile) {
  const fs::path read = folder / "read.mkv", written = folder / "written.log", before = folder / "before.mkv";
  std::ofstream(read) << "frames";
  std::ofstream(before) << "frames";
  std::ifstream heldBefore(before);
  const OpeningWatch watch(true);
  std::ifstream opened(read), again(before);
  std::ofstream log(written);
  std::vector<FileState> files;
  ASSERT_EQ(watch.Opened(files), Watched::Told);
  std::vector<std::string> names;
  for (const FileState& state : files) names.push_back(fs::path(state.path).filename().string());
  std::sort(names.begin(), names.end());
  const std::vector<std::string> expected{"before.mkv", "read.mkv"};
  EXPECT_EQ(names, expected) << "a file opened again is opened by the call too, however often it was before";
  FileState direct;
  ASSERT_TRUE(StateOfFile(read.u8string(), direct));
  EXPECT_TRUE(std::find(files.begin(), files.end(), direct) != files.end()) << "the same state as a look at its name";
  std::vector<FileState> none;
  EXPECT_EQ(OpeningWatch(false).Opened(none), Watched::NotWatched);
}
#endif

// A file whose state is not known (its system keeps no change time or file
// ID) cannot show that it was replaced: an opening that opened one tells
// nothing, while one the process held before does not matter.
TEST(OpenFiles, AnOpeningThatOpenedAFileOfUnknownStateTellsNothing) {
  HeldFile known{3, true, FileState{}}, unknown{4, false, FileState{}};
  known.state.path = "/media/a.mkv";
  known.state.id = 11;
  unknown.state.path = "/media/fat/b.mkv";
  std::vector<FileState> opened;
  EXPECT_TRUE(NewlyOpened({unknown}, {unknown, known}, opened));
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].path, "/media/a.mkv");
  EXPECT_FALSE(NewlyOpened({known}, {known, unknown}, opened));
  // The same handle value, now a file of unknown state: another opening.
  HeldFile reused = unknown;
  reused.handle = known.handle;
  EXPECT_FALSE(NewlyOpened({known}, {reused}, opened));
  // And the other way round: a known file at a handle that held an unknown one.
  EXPECT_TRUE(NewlyOpened({reused}, {known}, opened));
  EXPECT_EQ(opened.size(), 1u);
}

// A script function's entry stands on its calling script only when that
// script defines every script function and imports nothing: any other
// script it reads is closed again, and its edits would show nowhere.
TEST_F(CacheFolder, AScriptShowsItsFunctionsOnlyWhenItDefinesThemAllAndImportsNothing) {
  const fs::path script = folder / "show.avs";
  const auto cannotShow = [&script](const std::string& text, const char* function, const std::string& listed) {
    std::ofstream(script, std::ios::trunc) << text;
    return WhatTheScriptCannotShow(script.string(), function, listed);
  };
  const std::string part = "FUNCTION  Part(int i) { return FFVideoSource(\"p\" + String(i) + \".mkv\") }\n";
  EXPECT_EQ(cannotShow(part + "DorvelFilter(\"Part\", [1])\n", "Part", "Part _Part"), "");
  EXPECT_EQ(cannotShow("function\tpart(int i) { return BlankClip() }\n", "PART", "Part _Part"), "");

  EXPECT_EQ(cannotShow("Import(\"functions.avs\")\nDorvelFilter(\"Part\", [1])\n", "Part", "Part _Part"),
            "the script that made the call imports another script");
  EXPECT_NE(
      cannotShow(part + "function Content(int i) { import(\"c.avs\") }\n", "Part", "Part Content").find("imports"),
      std::string::npos);
  // A helper from an autoloaded script, named in the host's list only.
  EXPECT_EQ(cannotShow(part, "Part", "Part _Part Helper _Helper"),
            "the script that made the call does not define Helper (a script imported before it, or autoloaded, "
            "does)");
  // Names that only contain the function's are not its definition.
  EXPECT_NE(cannotShow("function PartTwo() { return 1 }\nfunctionPart = 2\n# Part\n", "Part", ""), "");
  EXPECT_NE(cannotShow("function Parts() { return 1 }\nmy_function Part() { return 1 }\n", "Part", ""), "");
  // Words that only contain "import" are no import.
  EXPECT_EQ(cannotShow(part + "imported = 1\nreimport = 2\n", "Part", "Part"), "");
  EXPECT_NE(WhatTheScriptCannotShow((folder / "none.avs").string(), "Part", ""), "");
  // For a host function that runs script, only the functions count: its
  // own scripts are looked at apart.
  std::ofstream(script, std::ios::trunc) << "Import(\"settings.avs\")\n" << part;
  EXPECT_EQ(WhatTheScriptCannotShow(script.string(), nullptr, "Part _Part"), "");
  EXPECT_NE(WhatTheScriptCannotShow(script.string(), nullptr, "Part Helper"), "");
  EXPECT_EQ(FunctionNamed("Apply(\"PART\", 1)", "Helper _Helper Part _Part"), "Part");
  EXPECT_EQ(FunctionNamed("Parts(1) + MyPart(2)", "Part _Part"), "");
  // A part that is an Import given to DorvelFilter is a filter of its own.
  EXPECT_EQ(cannotShow(part + "DorvelFilter ( \"IMPORT\", [\"c.avs\"])\n", "Part", "Part"), "");
  EXPECT_TRUE(SaysImport("Eval(\"Import(\"\"c.avs\"\")\")"));
  EXPECT_TRUE(SaysImport("Apply(\"Import\", \"c.avs\")"));
  EXPECT_FALSE(SaysImport("DorvelFilter(\"Import\", [\"c.avs\"])"));
}

// What a part's script reads that no file holds: the answer of a function
// such as Exist, or a variable the calling script does not set plainly.
TEST(ScriptReads, WhatNoFileHoldsIsFoundAsAWordInAnyCase) {
  EXPECT_EQ(AsksWhatNoFileHolds("CountingSource(1, frames=EXIST(\"long.flag\") ? 40 : 30)"), "exist");
  EXPECT_EQ(AsksWhatNoFileHolds("BlankClip(length=Int(Rand(9)))"), "rand");
  EXPECT_EQ(AsksWhatNoFileHolds("VersionNumber() > 3.7 ? a : b"), "versionnumber");
  EXPECT_EQ(AsksWhatNoFileHolds("try { c = c ++ FFVideoSource(\"extra.mkv\") } catch (e) { }"), "try");
  EXPECT_EQ(AsksWhatNoFileHolds("CountingSource(1, frames=EVAL(\"Len\" + \"gth\"))"), "eval");
  EXPECT_EQ(AsksWhatNoFileHolds("existing = 1\nrandom = FileExists\ntimes = 2\nretry = 3\n"), "");

  const auto isVariable = [](const std::string& name) {
    return name == "length" || name == "cut" || name == "last" || name == "log_info" || name == "src";
  };
  EXPECT_EQ(VariableFromOutside("CountingSource(1, frames=Length)", "", isVariable), "length");
  EXPECT_EQ(VariableFromOutside("Eval(\"Trim(CUT, 0)\")", "", isVariable), "cut");
  // Set plainly by the calling script, its value shows there.
  EXPECT_EQ(VariableFromOutside("FFVideoSource(src)", "src = \"a.mkv\"\n", isVariable), "");
  EXPECT_EQ(VariableFromOutside("FFVideoSource(src)", "global  SRC=\"a.mkv\"\n", isVariable), "");
  EXPECT_EQ(VariableFromOutside("Trim(0, -cut)", "cut = 10 * 3 # frames\n", isVariable), "");
  // Made by anything more than numbers and strings, or compared, it comes
  // from outside the script's text: from itself, a file, another variable.
  EXPECT_EQ(VariableFromOutside("Trim(0, -cut)", "global cut = FFVideoSource(\"a.mkv\").FrameCount\n", isVariable),
            "cut");
  EXPECT_EQ(VariableFromOutside("Trim(0, -cut)", "cut = length\n", isVariable), "cut");
  // Set only after a part can be made, or set again from anything else
  // before, the value the part read is not the script's.
  EXPECT_EQ(VariableFromOutside("Trim(0, -cut)", "DorvelFilter(\"Part\")\ncut = 10\n", isVariable), "cut");
  EXPECT_EQ(VariableFromOutside("Trim(0, -cut)", "cut = 10\ncut = length\nDorvelFilter(\"Part\")\n", isVariable),
            "cut");
  EXPECT_EQ(VariableFromOutside("Trim(0, -cut)", "cut = 10\nDorvelFilter(\"Part\")\ncut = length\n", isVariable), "");
  EXPECT_EQ(VariableFromOutside("Trim(cut, 0)", "cut = cut + 10\n", isVariable), "cut");
  EXPECT_EQ(VariableFromOutside("Trim(cut, 0)", "x = cut == 10\n", isVariable), "cut");
  // The host's own and "last", and words that only contain a variable's.
  EXPECT_EQ(VariableFromOutside("SetLogParams(\"l\", LOG_INFO)\nlast.Trim(cuts, 0)\nlength2", "", isVariable), "");
  EXPECT_EQ(VariableFromOutside("Trim(0, 1cut)", "", isVariable), "");

  // A part runs the calling script's functions, not its other lines.
  EXPECT_EQ(FunctionBodies("T = BlankClip()\nfunction A(int i) { x = { 1 }\n return i }\nB = 2\n"
                           "Function B() {cut}"),
            "{ x = { 1 }\n return i }\n{cut}\n");
  EXPECT_EQ(FunctionBodies("function A() { a\nfunction B() { b }\n"), "{ a\nfunction B() { b }\n\n");
  EXPECT_EQ(FunctionBodies("my_function = 1\nfunctions = 2\n"), "");

  // The strings that may name a file the part reads and lets go.
  EXPECT_EQ(StringsIn("n = FFVideoSource(\"limit.mkv\").FrameCount # \"x\"\nEval(\"\"\"a\"\"\")"),
            (std::vector<std::string>{"limit.mkv", "x", "a"}));
}

}  // namespace
