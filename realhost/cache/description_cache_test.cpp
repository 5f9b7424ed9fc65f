// The description cache inside a real host, with the counting source, whose
// count of clips made proves what a load opened. Each run is a script
// environment of its own, as each run of a client is; the parts are scripts
// of their own (part1.avs, ...) opened by Import with names relative to the
// main script's folder, so that changing a part's file changes what it makes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "counting_source.h"
#include "deferred/description_cache/store/cache_text.h"
#include "host_session.h"

namespace {

namespace fs = std::filesystem;

constexpr int kParts = 6;

std::string ReadAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<CacheEntry> EntriesIn(const fs::path& path) {
  std::vector<CacheEntry> entries;
  std::string why;
  EXPECT_TRUE(ReadCacheText(ReadAll(path), entries, why)) << path << ": " << why;
  return entries;
}

// What one run saw.
struct Played {
  int opensWhileLoading = 0;
  VideoInfo vi{};
  std::vector<uint64_t> frames;
  std::vector<unsigned char> audio;
  std::string error;  // of loading, or of reading
  std::string log;
};

class RealHostDescriptionCache : public ::testing::Test {
 protected:
  void SetUp() override {
    original = fs::current_path();
    folder = fs::temp_directory_path() / ("dorvel-cache-" + std::to_string(std::random_device()()));
    fs::create_directories(folder);
    // Parts of different lengths, with audio of their own lengths.
    for (int i = 1; i <= kParts; ++i) WritePart(i, 20 + 7 * i);
    script = folder / "show.avs";
    cache = folder / "show.avs.dorvelcache";
    logFile = folder / "host.log";
  }
  void TearDown() override {
    fs::current_path(original);
    fs::remove_all(folder);
  }

  void WritePart(int i, int frames) {
    std::ofstream(folder / ("part" + std::to_string(i) + ".avs"))
        << "CountingSource(" << i << ", frames=" << frames << ")\n";
  }

  // The main script: the cache (by default beside it), then a splice of the
  // parts without templates.
  void WriteScript(const std::string& cacheCall = "DorvelFilterCache()", const std::string& more = "") {
    std::ofstream out(script);
    out << "SetLogParams(\"" << logFile.string() << "\", LOG_INFO)\n" << cacheCall << "\n" << more;
    out << "UnalignedSplice(";
    for (int i = 1; i <= kParts; ++i)
      out << (i > 1 ? ", " : "") << "DorvelFilter(\"Import\", [\"part" << i << ".avs\"])";
    out << ")\n";
  }

  // Loads the script (or `importing`, a script that imports it) in an
  // environment of its own and reads all of it.
  Played Play(const fs::path& importing = "") {
    Played run;
    counting::Reset();
    fs::remove(logFile);
    {
      HostSession host;
      try {
        const PClip clip = host.Clip("Import(\"" + (importing.empty() ? script : importing).string() + "\")");
        run.opensWhileLoading = counting::Opens();
        run.vi = clip->GetVideoInfo();
        run.frames = FrameDigests(clip, host.env());
        run.audio = AllAudio(clip, host.env());
      } catch (const AvisynthError& error) {
        run.error = error.msg;
      }
    }
    run.log = ReadAll(logFile);
    return run;
  }

  // The same splice without the module.
  Played Direct() {
    Played run;
    HostSession host;
    std::string splice = "UnalignedSplice(";
    for (int i = 1; i <= kParts; ++i) {
      splice += (i > 1 ? ", " : "") + std::string("Import(\"") +
                (folder / ("part" + std::to_string(i) + ".avs")).string() + "\")";
    }
    const PClip clip = host.Clip(splice + ")");
    run.vi = clip->GetVideoInfo();
    run.frames = FrameDigests(clip, host.env());
    run.audio = AllAudio(clip, host.env());
    return run;
  }

  fs::path original, folder, script, cache, logFile;
};

TEST_F(RealHostDescriptionCache, ASecondLoadOpensNothingAndPlaysAsTheDirectScript) {
  WriteScript();
  const Played first = Play();
  ASSERT_EQ(first.error, "");
  EXPECT_EQ(first.opensWhileLoading, kParts);
  ASSERT_TRUE(fs::exists(cache)) << "beside the script, named after it";
  EXPECT_EQ(EntriesIn(cache).size(), static_cast<std::size_t>(kParts));

  const Played second = Play();
  ASSERT_EQ(second.error, "");
  EXPECT_EQ(second.opensWhileLoading, 0);
  const Played direct = Direct();
  EXPECT_EQ(second.vi.num_frames, direct.vi.num_frames);
  EXPECT_EQ(second.vi.num_audio_samples, direct.vi.num_audio_samples);
  EXPECT_EQ(second.frames, direct.frames);
  EXPECT_TRUE(second.audio == direct.audio) << "each part's audio is its own, sample for sample";
  EXPECT_EQ(first.frames, direct.frames);

  // A chunk's script beside it that imports the whole one finds its cache.
  fs::create_directories(folder / "chunks");
  std::ofstream(folder / "chunks" / "chunk1.avs") << "Import(\"" << script.string() << "\")\nTrim(30, 59)\n";
  const Played chunk = Play(folder / "chunks" / "chunk1.avs");
  EXPECT_EQ(chunk.error, "");
  EXPECT_EQ(chunk.opensWhileLoading, 0);
  EXPECT_EQ(chunk.frames, std::vector<uint64_t>(direct.frames.begin() + 30, direct.frames.begin() + 60));
  EXPECT_FALSE(fs::exists(folder / "chunks" / "chunk1.avs.dorvelcache"));
}

TEST_F(RealHostDescriptionCache, AChangedSizeOrTimeIsAMiss) {
  WriteScript();
  ASSERT_EQ(Play().opensWhileLoading, kParts);
  // Another size, the same description.
  std::ofstream(folder / "part2.avs", std::ios::app) << "# longer\n";
  EXPECT_EQ(Play().opensWhileLoading, 1);
  // Another time only.
  const fs::path part4 = folder / "part4.avs";
  fs::last_write_time(part4, fs::last_write_time(part4) + std::chrono::seconds(3));
  const Played third = Play();
  EXPECT_EQ(third.opensWhileLoading, 1);
  EXPECT_EQ(third.frames, Direct().frames);
  EXPECT_EQ(Play().opensWhileLoading, 0);
}

// A file rewritten keeping its size and modification time is another file:
// its change time tells.
TEST_F(RealHostDescriptionCache, AFileReplacedKeepingItsSizeAndTimeIsAMiss) {
  WriteScript();
  ASSERT_EQ(Play().opensWhileLoading, kParts);
  // Part 3 now makes 13 frames rather than 41, with its size and time as
  // they were.
  const fs::path part3 = folder / "part3.avs";
  const auto time = fs::last_write_time(part3);
  const std::string before = ReadAll(part3);
  std::ofstream(part3, std::ios::trunc) << "CountingSource(3, frames=13)\n";
  fs::last_write_time(part3, time);
  ASSERT_EQ(ReadAll(part3).size(), before.size());

  const Played replaced = Play();
  EXPECT_EQ(replaced.error, "");
  EXPECT_EQ(replaced.opensWhileLoading, 1);
  EXPECT_EQ(replaced.frames, Direct().frames);
  EXPECT_EQ(Play().opensWhileLoading, 0);
}

// What the cache says and the part makes differ though no file the cache
// looks at changed (here its own file, edited): the part fails at its first
// frame naming the call and the cache, every entry the load took from the
// cache is dropped, and the next load learns them all again.
TEST_F(RealHostDescriptionCache, AStaleEntryFailsNamingTheCacheAndTheCallAndEveryEntryIsLearnedAgain) {
  WriteScript();
  ASSERT_EQ(Play().opensWhileLoading, kParts);
  std::string text = ReadAll(cache);
  const std::string part3 = "call Import(\"part3.avs\")\n";
  const std::string right = "description 64 48 25 1 41 ", wrong = "description 64 48 25 1 13 ";
  const std::size_t description = text.find(right, text.find(part3));
  ASSERT_NE(description, std::string::npos) << text;
  text.replace(description, right.size(), wrong);
  std::ofstream(cache, std::ios::binary | std::ios::trunc) << text;

  const Played stale = Play();
  EXPECT_EQ(stale.opensWhileLoading, 0);
  EXPECT_EQ(stale.error, "DorvelFilter: Import(\"part3.avs\") made a clip other than its description in the cache " +
                             cache.string() +
                             " (frame count 41, not 13); every entry this load took from the cache is dropped, and the "
                             "next load of the script learns them again");
  EXPECT_EQ(EntriesIn(cache).size(), 0u);

  const Played relearned = Play();
  EXPECT_EQ(relearned.error, "");
  EXPECT_EQ(relearned.opensWhileLoading, kParts);
  EXPECT_EQ(relearned.frames, Direct().frames);
}

// A wrong entry the host trips over while the script loads (the splice of
// parts whose frame rates differ) fails that load in the host's words; the
// load served nothing, so every entry it used is dropped and the next load
// plays, with the check on or off.
TEST_F(RealHostDescriptionCache, ALoadTheHostFailsDropsEveryEntryItUsed) {
  for (const bool check : {false, true}) {
    SCOPED_TRACE(check ? "with the check" : "without the check");
    WriteScript("DorvelFilterCache()", check ? "DorvelFilterCheck()\n" : "");
    ASSERT_EQ(Play().error, "");
    std::string text = ReadAll(cache);
    const std::string right = "description 64 48 25 1 41 ", wrong = "description 64 48 50 1 41 ";
    const std::size_t description = text.find(right);
    ASSERT_NE(description, std::string::npos) << text;
    text.replace(description, right.size(), wrong);
    std::ofstream(cache, std::ios::binary | std::ios::trunc) << text;

    const Played failed = Play();
    EXPECT_NE(failed.error.find("framerate"), std::string::npos) << failed.error;
    const Played next = Play();
    EXPECT_EQ(next.error, "");
    EXPECT_EQ(next.opensWhileLoading, kParts);
    EXPECT_EQ(next.frames, Direct().frames);
    fs::remove(cache);
  }
}

// The same project copied to another folder, one of its files replaced
// there: the copy's cache is of files in the other folder and of the other
// script, and the copy plays its own files.
TEST_F(RealHostDescriptionCache, ACopiedProjectPlaysItsOwnFiles) {
  WriteScript();
  ASSERT_EQ(Play().opensWhileLoading, kParts);
  const fs::path original = folder;
  folder = original.string() + "-copy";
  fs::copy(original, folder);
  script = folder / "show.avs";
  cache = folder / "show.avs.dorvelcache";
  logFile = folder / "host.log";
  WritePart(2, 3);
  const Played copy = Play();
  EXPECT_EQ(copy.error, "");
  EXPECT_EQ(copy.frames, Direct().frames);
  EXPECT_EQ(Play().opensWhileLoading, 0);
  fs::remove_all(folder);
  folder = original;
}

TEST_F(RealHostDescriptionCache, FilesThatDoNotReadAreSetAsideWithAWarningAndRebuilt) {
  WriteScript();
  ASSERT_EQ(Play().opensWhileLoading, kParts);
  const std::string good = ReadAll(cache);
  const std::vector<std::string> bad{"", good.substr(0, good.size() / 2), "#!/bin/sh\necho not a cache\n",
                                     "DorvelFilterCache 2\nsomething of a later module\n"};
  for (const std::string& text : bad) {
    std::ofstream(cache, std::ios::binary | std::ios::trunc) << text;
    const Played run = Play();
    EXPECT_EQ(run.error, "");
    EXPECT_EQ(run.opensWhileLoading, kParts);
    EXPECT_NE(run.log.find("WARNING: DorvelFilterCache: " + cache.string() + " does not read ("), std::string::npos)
        << run.log;
    EXPECT_EQ(ReadAll(cache.string() + ".bad"), text);
    EXPECT_EQ(EntriesIn(cache).size(), static_cast<std::size_t>(kParts)) << "rebuilt";
    EXPECT_EQ(Play().opensWhileLoading, 0);
  }
}

#if !defined(_WIN32)
TEST_F(RealHostDescriptionCache, AFolderThatTakesNoFilesSkipsTheCacheWithAWarning) {
  // Not even root makes files in /proc.
  WriteScript("name = DorvelFilterCache(\"/proc/dorvel-test.dorvelcache\")\nAssert(name == \"\")");
  for (int run = 0; run < 2; ++run) {
    const Played played = Play();
    EXPECT_EQ(played.error, "");
    EXPECT_EQ(played.opensWhileLoading, kParts);
    EXPECT_NE(played.log.find("WARNING: DorvelFilterCache: not used: cannot make files in /proc; the script runs "
                              "without it"),
              std::string::npos)
        << played.log;
  }
}

#endif

TEST_F(RealHostDescriptionCache, TheCheckSkipsWhatAnEarlierRunChecked) {
  // Templated parts under the check, and one without a template.
  std::ofstream(script) << "SetLogParams(\"" << logFile.string() << "\", LOG_INFO)\n"
                        << "DorvelFilterCache(\"checked.dorvelcache\")\nDorvelFilterCheck()\n"
                        << "T = BlankClip(CountingSource(1, frames=27))\n"
                        << "DorvelFilter(\"Import\", [\"part1.avs\"], T) ++ DorvelFilter(\"Import\", [\"part1.avs\", "
                           "true], T) ++ DorvelFilter(\"Import\", [\"part5.avs\"])\n";
  const Played first = Play();
  ASSERT_EQ(first.error, "");
  EXPECT_EQ(first.opensWhileLoading, 4);  // the template's own, and each part's
  const Played second = Play();
  ASSERT_EQ(second.error, "");
  EXPECT_EQ(second.opensWhileLoading, 1);  // the template's alone
  EXPECT_NE(second.log.find("INFO: DorvelFilter: Import(\"part1.avs\", true) was checked by an earlier run with the "
                            "same files (" +
                            (folder / "checked.dorvelcache").string() + "), and is not opened"),
            std::string::npos)
      << second.log;
  // A part that changed is checked again, and fails the script at its line.
  std::ofstream(folder / "part1.avs", std::ios::trunc) << "CountingSource(1, frames=99)\n# now longer\n";
  const Played changed = Play();
  // At the part's line, as without the cache (the host writes the script's
  // name its own way on each system).
  EXPECT_EQ(
      changed.error.rfind(
          "DorvelFilter: Import made a clip of 99 frames, but the template has 27 (in Import(\"part1.avs\"))\n(", 0),
      0u)
      << changed.error;
  EXPECT_NE(changed.error.find(", line 5)"), std::string::npos) << changed.error;
}

TEST_F(RealHostDescriptionCache, AScriptImportedByARelativeNameHasItsCacheBesideIt) {
  WriteScript();
  fs::current_path(folder.parent_path());
  const fs::path relative = folder.filename() / "show.avs";
  const Played first = Play(relative);
  ASSERT_EQ(first.error, "");
  EXPECT_TRUE(fs::exists(cache)) << first.log;
  EXPECT_EQ(Play(relative).opensWhileLoading, 0);
}

// Calls that a script tells apart must have entries apart: a string that
// holds quotes and commas is not two strings, and 1.0 is not 1 to a function
// that asks which it was given. (Each call names a file, which a script
// function must for its entry to be kept; the file is an argument of its
// own, since no name holding quotes is a file on Windows.)
TEST_F(RealHostDescriptionCache, CallsThatOnlyLookAlikeHaveEntriesOfTheirOwn) {
  std::ofstream(folder / "x") << "x";
  std::ofstream(script)
      << "DorvelFilterCache(\"alike.dorvelcache\")\n"
      << "function Pair(string file, string a, string \"b\") { CountingSource(1, frames=Defined(b) ? 30 : 10) }\n"
      << "function Kind(val v, string file) { CountingSource(2, frames=IsInt(v) ? 12 : 21) }\n"
      << "DorvelFilter(\"Pair\", [\"x\", \"x\", \"y\"]) ++ DorvelFilter(\"Pair\", [\"x\", \"\"\"x\", \"y\"\"\"]) ++ "
      << "DorvelFilter(\"Kind\", [1, \"x\"]) ++ DorvelFilter(\"Kind\", [1.0, \"x\"])\n";
  for (int run = 0; run < 2; ++run) {
    const Played played = Play();
    EXPECT_EQ(played.error, "") << "run " << run;
    EXPECT_EQ(played.vi.num_frames, 30 + 10 + 12 + 21) << "run " << run;
    EXPECT_EQ(played.opensWhileLoading, run == 0 ? 4 : 0);
  }
  EXPECT_EQ(EntriesIn(folder / "alike.dorvelcache").size(), 4u);
}

// A script function that names no file and holds none open once it returns
// (it imports its part, and the import is closed again) cannot show what its
// description is made from: it is not kept, says so, and is opened at every
// load, so a change of its part is read as it is.
TEST_F(RealHostDescriptionCache, AScriptFunctionThatHoldsNoFileIsOpenedAtEveryLoad) {
  std::ofstream(script) << "SetLogParams(\"" << logFile.string() << "\", LOG_INFO)\n"
                        << "DorvelFilterCache()\nDorvelFilterCheck()\n"
                        << "function Part(string name) { Import(name + \".avs\") }\n"
                        << "DorvelFilter(\"Part\", [\"part1\"]) ++ DorvelFilter(\"Import\", [\"part2.avs\"])\n";
  ASSERT_EQ(Play().opensWhileLoading, 2);
  const Played second = Play();
  EXPECT_EQ(second.opensWhileLoading, 1) << "the part whose file is in its call is not opened";
  EXPECT_NE(second.log.find("WARNING: DorvelFilterCache: Part(\"part1\") is not kept in the cache " + cache.string() +
                            ": its function is a script's, and neither names a file in its call nor holds one open "
                            "once it returns; it is opened at every load"),
            std::string::npos)
      << second.log;
  WritePart(1, 13);
  const Played changed = Play();
  EXPECT_EQ(changed.error, "");
  EXPECT_EQ(changed.vi.num_frames, 13 + 34);
}

// A part's script may read what none of the files its entry lists holds: a
// global that the script importing the calling one sets, or whether a file
// is there (Exist). Changed between loads, the part makes another clip; a
// chunk that plays only the parts after it never opens it, so an entry that
// stood would shift every frame of the chunk without an error.
TEST_F(RealHostDescriptionCache, WhatAPartReadsOutsideItsListedFilesKeepsNoStaleEntry) {
  std::ofstream(folder / "part1.avs") << "CountingSource(1, frames=Length)\n";
  std::ofstream(folder / "part2.avs") << "CountingSource(2, frames=Exist(\"long.flag\") ? 40 : 30)\n";
  std::ofstream(script) << "DorvelFilterCache()\nDorvelFilter(\"Import\", [\"part1.avs\"]) ++ "
                        << "DorvelFilter(\"Import\", [\"part2.avs\"]) ++ DorvelFilter(\"Import\", [\"part3.avs\"])\n";
  const fs::path chunk = folder / "chunk.avs";
  const auto writeChunk = [&](int length) {
    std::ofstream(chunk) << "global Length = " << length << "\nImport(\"" << script.string() << "\")\nTrim(60, 0)\n";
  };
  const auto direct = [&](int length) {
    HostSession host;
    const std::string part = "Import(\"" + folder.string() + "/part";
    const PClip clip = host.Clip("global Length = " + std::to_string(length) + "\n(" + part + "1.avs\") ++ " + part +
                                 "2.avs\") ++ " + part + "3.avs\")).Trim(60, 0)\n");
    return std::make_pair(clip->GetVideoInfo().num_frames, FrameDigests(clip, host.env()));
  };
  writeChunk(30);
  ASSERT_EQ(Play(chunk).error, "");

  // The global, set by the chunk's script alone.
  writeChunk(40);
  const Played longer = Play(chunk);
  const auto longerDirect = direct(40);
  EXPECT_EQ(longer.error, "");
  EXPECT_EQ(longer.vi.num_frames, longerDirect.first);
  EXPECT_EQ(longer.frames, longerDirect.second);

  // The file asked for by Exist, with every script as it was.
  writeChunk(30);
  ASSERT_EQ(Play(chunk).error, "");
  std::ofstream(folder / "long.flag") << "";
  const Played flagged = Play(chunk);
  const auto flaggedDirect = direct(30);
  EXPECT_EQ(flagged.error, "");
  EXPECT_EQ(flagged.vi.num_frames, flaggedDirect.first);
  EXPECT_EQ(flagged.frames, flaggedDirect.second);

  // The global read by a name the part builds, no word of its own.
  fs::remove(folder / "long.flag");
  std::ofstream(folder / "part1.avs", std::ios::trunc) << "CountingSource(1, frames=Eval(\"Len\" + \"gth\"))\n";
  writeChunk(30);
  ASSERT_EQ(Play(chunk).error, "");
  writeChunk(40);
  const Played built = Play(chunk);
  EXPECT_EQ(built.error, "");
  EXPECT_EQ(built.vi.num_frames, longerDirect.first);
  EXPECT_EQ(built.frames, longerDirect.second);
}

// Two scripts of one folder share a cache, and each defines its own Part:
// the same call in the same folder is not the same part, and the second
// script's chunk, which never reads Part, must not take the first one's
// length for its own.
TEST_F(RealHostDescriptionCache, TwoScriptsSharingACacheDoNotTakeEachOthersFunctions) {
  std::ofstream(folder / "x.txt") << "named by the call, so that the part is kept\n";
  const auto write = [&](const fs::path& to, int frames, bool cached) {
    std::ofstream(to) << (cached ? "DorvelFilterCache(\"shared.dorvelcache\")\n" : "")
                      << "function Part(string f) { return CountingSource(1, frames=" << frames << ") }\n"
                      << "(" << (cached ? "DorvelFilter(\"Part\", [\"x.txt\"])" : "Part(\"x.txt\")")
                      << " ++ CountingSource(2, frames=20)).Trim(40, 0)\n";
  };
  write(folder / "a.avs", 30, true);
  write(folder / "b.avs", 40, true);
  write(folder / "b_direct.avs", 40, false);
  ASSERT_EQ(Play(folder / "a.avs").error, "");
  const Played b = Play(folder / "b.avs");
  const Played direct = Play(folder / "b_direct.avs");
  EXPECT_EQ(b.error, "");
  EXPECT_EQ(b.vi.num_frames, direct.vi.num_frames);
  EXPECT_EQ(b.frames, direct.frames);
}

// The calling script sets the variable its part reads, but only after the
// call, so the part reads the chunk's global: with the chunk's script
// changed, the chunk after the part must not shift.
TEST_F(RealHostDescriptionCache, AVariableTheCallingScriptSetsOnlyAfterTheCallIsNotTakenAsItsOwn) {
  std::ofstream(folder / "part1.avs") << "CountingSource(1, frames=Length)\n";
  std::ofstream(script) << "DorvelFilterCache()\nDorvelFilter(\"Import\", [\"part1.avs\"]) ++ "
                        << "DorvelFilter(\"Import\", [\"part3.avs\"])\nLength = 30\nlast\n";
  const fs::path chunk = folder / "chunk.avs";
  const auto writeChunk = [&](int length) {
    std::ofstream(chunk) << "global Length = " << length << "\nImport(\"" << script.string() << "\")\nTrim(40, 0)\n";
  };
  writeChunk(30);
  ASSERT_EQ(Play(chunk).error, "");
  writeChunk(40);
  const Played changed = Play(chunk);
  HostSession host;
  const PClip direct = host.Clip("global Length = 40\n(Import(\"" + (folder / "part1.avs").string() +
                                 "\") ++ Import(\"" + (folder / "part3.avs").string() + "\")).Trim(40, 0)\n");
  EXPECT_EQ(changed.error, "");
  EXPECT_EQ(changed.vi.num_frames, direct->GetVideoInfo().num_frames);
  EXPECT_EQ(changed.frames, FrameDigests(direct, host.env()));
}

TEST_F(RealHostDescriptionCache, WithoutAScriptFileTheCacheNeedsAName) {
  HostSession host;
  EXPECT_EQ(host.ErrorOf("DorvelFilterCache()"),
            "DorvelFilterCache: this script was not loaded from a file, so the cache has no name of its own: name "
            "one, as in DorvelFilterCache(\"parts.dorvelcache\")");
}

#if !defined(_WIN32)
// Processes that load scripts over one cache at once, each learning parts of
// its own and some that all share.
void ProcessesAtOnce(const fs::path& folder, int processes) {
  const fs::path shared = folder / "shared.dorvelcache";
  std::string commands;
  for (int p = 0; p < processes; ++p) {
    const fs::path one = folder / ("process" + std::to_string(p) + ".avs");
    std::ofstream out(one);
    out << "DorvelFilterCache(\"" << shared.string() << "\")\nUnalignedSplice(";
    for (int i = 0; i < 12; ++i) {
      const int id = i < 4 ? 1000 + i : 100 * (p + 1) + i;
      out << (i > 0 ? ", " : "") << "DorvelFilter(\"CountingSource\", [" << id << ", [\"frames\", " << 5 + i << "]])";
    }
    out << ")\n";
    commands += std::string(DORVEL_RUNNER) + " --frames 1 " + one.string() + " > " + one.string() + ".out 2>&1 & ";
  }
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(std::system((commands + "wait").c_str()), 0);
    for (int p = 0; p < processes; ++p) {
      const std::string out = ReadAll(folder / ("process" + std::to_string(p) + ".avs.out"));
      if (round == 1) {
        EXPECT_NE(out.find("counting_opens=1 "), std::string::npos) << "the first frame alone: " << out;
      }
    }
    EXPECT_EQ(EntriesIn(shared).size(), static_cast<std::size_t>(4 + 8 * processes));
    EXPECT_FALSE(fs::exists(shared.string() + ".lock"));
  }
}

TEST_F(RealHostDescriptionCache, TwoProcessesAtOnceLoseNoEntry) { ProcessesAtOnce(folder, 2); }
TEST_F(RealHostDescriptionCache, EightProcessesAtOnceLoseNoEntry) { ProcessesAtOnce(folder, 8); }
#endif

}  // namespace
