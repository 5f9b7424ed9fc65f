// The description cache over FFMS2: a second load of a template-less splice
// of video and audio parts of different lengths opens no decoder, and plays
// as the direct script does, frame for frame and sample for sample; a file
// whose time changes is opened again while the script loads. The host's log
// tells what was opened. Then a project whose parts are a script function's
// calls, which name no file: whatever changes (a file replaced, the project
// copied elsewhere and a file replaced there, the function edited), a load
// reads, whole or in part, what the script without the module reads.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "host_session.h"

namespace {

namespace fs = std::filesystem;

const fs::path kMedia = DORVEL_MEDIA_DIR;

int Count(const std::string& text, const std::string& what) {
  int count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

class RealDecoderDescriptionCache : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() / ("dorvel-cache-ffms2-" + std::to_string(std::random_device()()));
    fs::create_directories(folder);
    for (const char* name : {"part00.mkv", "short30.mkv", "part01.mkv", "part02.mkv"}) {
      fs::copy_file(kMedia / name, folder / name);
      files.push_back(folder / name);
    }
    logFile = folder / "host.log";
  }
  void TearDown() override { fs::remove_all(folder); }

  std::string Splice(bool withModule) const {
    std::string splice = "UnalignedSplice(";
    for (std::size_t i = 0; i < files.size(); ++i) {
      const std::string name = "\"" + files[i].string() + "\"";
      const std::string args = "[" + name + ", [\"cache\", false]]";
      splice += (i > 0 ? ", " : "") + (withModule ? "AudioDub(DorvelFilter(\"FFVideoSource\", " + args +
                                                        "), DorvelFilter(\"FFAudioSource\", " + args + "))"
                                                  : "AudioDub(FFVideoSource(" + name +
                                                        ", cache=false), FFAudioSource(" + name + ", cache=false))");
    }
    return splice + ")";
  }

  struct Played {
    int openedWhileLoading = 0;
    std::vector<uint64_t> frames;
    std::vector<unsigned char> audio;
  };

  Played Play(bool withModule) {
    Played played;
    fs::remove(logFile);
    HostSession host;
    host.LoadPlugin(DORVEL_FFMS2_PLUGIN);
    const std::string start = withModule
                                  ? "SetLogParams(\"" + logFile.string() + "\", LOG_INFO)\nDorvelFilterCache(\"" +
                                        (folder / "parts.dorvelcache").string() + "\")\n"
                                  : "";
    const PClip clip = host.Clip(start + Splice(withModule));
    if (withModule) {
      std::ifstream log(logFile);
      std::stringstream text;
      text << log.rdbuf();
      played.openedWhileLoading = Count(text.str(), "DorvelFilter: opened ");
    }
    played.frames = FrameDigests(clip, host.env());
    played.audio = AllAudio(clip, host.env());
    return played;
  }

  fs::path folder, logFile;
  std::vector<fs::path> files;
};

TEST_F(RealDecoderDescriptionCache, ASecondLoadOpensNoDecoderAndPlaysAsTheDirectScript) {
  const Played direct = Play(false);
  const Played first = Play(true);
  EXPECT_EQ(first.openedWhileLoading, 8);
  const Played second = Play(true);
  EXPECT_EQ(second.openedWhileLoading, 0);
  ASSERT_EQ(direct.frames.size(), 180u);
  EXPECT_EQ(second.frames, direct.frames);
  EXPECT_TRUE(second.audio == direct.audio) << "each part's audio is its own, sample for sample";
  EXPECT_EQ(first.frames, direct.frames);

  // A file whose time changed is opened again, video and audio; the rest are not.
  fs::last_write_time(files[1], fs::last_write_time(files[1]) + std::chrono::seconds(5));
  EXPECT_EQ(Play(true).openedWhileLoading, 2);
  EXPECT_EQ(Play(true).openedWhileLoading, 0);
}

// A project in a folder of its own: show.avs splices three parts, each a
// call of the script's function Part(i), which opens p<i>.mkv; direct.avs is
// the same without the module; chunk.avs and direct_chunk.avs import them and
// take a Trim, as a chunk of an encode does.
class RealDecoderCacheProject : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("dorvel-cache-project-" + std::to_string(std::random_device()()));
    folder = root / "project";
    fs::create_directories(folder);
    const char* media[] = {"part00.mkv", "part01.mkv", "part02.mkv"};
    for (int i = 0; i < 3; ++i) fs::copy_file(kMedia / media[i], folder / ("p" + std::to_string(i + 1) + ".mkv"));
    WriteScripts(folder, "");
  }
  void TearDown() override { fs::remove_all(root); }

  static void WriteScripts(const fs::path& where, const std::string& edit) {
    const std::string function =
        "function Part(int i) { return FFVideoSource(\"p\" + String(i) + \".mkv\", cache=false)" + edit + " }\n";
    std::ofstream(where / "show.avs") << "SetLogParams(\"" << (where / "host.log").string() << "\", LOG_INFO)\n"
                                      << "DorvelFilterCache()\n"
                                      << function
                                      << "UnalignedSplice(DorvelFilter(\"Part\", [1]), DorvelFilter(\"Part\", [2]), "
                                         "DorvelFilter(\"Part\", [3]))\n";
    std::ofstream(where / "direct.avs") << function << "UnalignedSplice(Part(1), Part(2), Part(3))\n";
    for (const char* name : {"show", "direct"}) {
      std::ofstream(where / (std::string(name) + "_chunk.avs"))
          << "Import(\"" << (where / (std::string(name) + ".avs")).string() << "\")\nTrim(60, 149)\n";
    }
  }

  struct Read {
    std::string error;
    int frameCount = 0;
    double fps = 0;
    std::vector<uint64_t> frames;
    std::string log;  // as the load left it, before any frame
  };

  // Loads `script` in an environment of its own and reads every frame.
  static Read Play(const fs::path& script) {
    Read read;
    fs::remove(script.parent_path() / "host.log");
    {
      HostSession host;
      host.LoadPlugin(DORVEL_FFMS2_PLUGIN);
      try {
        const PClip clip = host.Clip("Import(\"" + script.string() + "\")");
        read.frameCount = clip->GetVideoInfo().num_frames;
        read.fps = static_cast<double>(clip->GetVideoInfo().fps_numerator) / clip->GetVideoInfo().fps_denominator;
        read.log = LogOf(script);
        read.frames = FrameDigests(clip, host.env());
      } catch (const AvisynthError& error) {
        read.error = error.msg;
      }
    }
    return read;
  }

  static std::string LogOf(const fs::path& script) {
    std::ifstream log(script.parent_path() / "host.log");
    std::stringstream text;
    text << log.rdbuf();
    return text.str();
  }

  // Each way of reading `where`'s project gives what the direct script gives.
  static void ExpectAsDirect(const fs::path& where, const std::string& what) {
    for (const char* name : {"show_chunk", "show"}) {
      const Read direct = Play(where / (std::string(name[4] == '_' ? "direct_chunk" : "direct") + ".avs"));
      const Read read = Play(where / (std::string(name) + ".avs"));
      ASSERT_EQ(direct.error, "") << what;
      EXPECT_EQ(read.error, "") << what << ", " << name;
      EXPECT_EQ(read.frameCount, direct.frameCount) << what << ", " << name;
      EXPECT_EQ(read.fps, direct.fps) << what << ", " << name;
      EXPECT_TRUE(read.frames == direct.frames)
          << what << ", " << name << ": " << read.frames.size() << " frames, " << direct.frames.size() << " directly";
    }
  }

  // p2.mkv replaced by a file of another length, in `where`.
  static void ReplaceTheSecondPart(const fs::path& where) {
    fs::remove(where / "p2.mkv");
    fs::copy_file(kMedia / "short30.mkv", where / "p2.mkv");
  }

  fs::path root, folder;
};

TEST_F(RealDecoderCacheProject, ASecondLoadOpensNothingAndAReplacedFileIsOpenedAgain) {
  ExpectAsDirect(folder, "the first loads");
  const Read second = Play(folder / "show.avs");
  EXPECT_EQ(Count(second.log, "DorvelFilter: opened "), 0) << "a call that names no file is described by the cache";
  EXPECT_EQ(Count(second.log, "is described by the cache"), 3);
  EXPECT_EQ(second.frameCount, 150);

  ReplaceTheSecondPart(folder);
  ExpectAsDirect(folder, "p2.mkv replaced");
  EXPECT_EQ(Play(folder / "show.avs").frameCount, 130);
}

TEST_F(RealDecoderCacheProject, ACopiedProjectWithAFileReplacedReadsItsOwnFiles) {
  ExpectAsDirect(folder, "the first loads");
  const fs::path copy = root / "copy";
  fs::copy(folder, copy);  // the cache too
  WriteScripts(copy, "");  // naming its own log and scripts
  ReplaceTheSecondPart(copy);
  ExpectAsDirect(copy, "the copy with p2.mkv replaced");
  ExpectAsDirect(folder, "the original, unchanged");
}

TEST_F(RealDecoderCacheProject, AnEditedFunctionIsLearnedAgain) {
  ExpectAsDirect(folder, "the first loads");
  WriteScripts(folder, ".AssumeFPS(50)");
  ExpectAsDirect(folder, "the function edited to 50 fps");
  EXPECT_EQ(Play(folder / "show.avs").fps, 50);
}

// A part whose description no longer holds though nothing the cache looks at
// changed (here the cache's own file, edited) fails at its first frame
// naming the call and the cache, or fails the load in the host; either way
// every entry the load used is dropped, and the next load plays.
TEST_F(RealDecoderCacheProject, AWrongEntryFailsOnceAndTheNextLoadPlays) {
  ExpectAsDirect(folder, "the first loads");
  const fs::path cache = folder / "show.avs.dorvelcache";
  std::ifstream in(cache);
  std::stringstream text;
  text << in.rdbuf();
  const std::string good = text.str();
  // The second entry's frame count, then its frame rate.
  const std::string count = " 320 240 25 1 50 ";
  const std::size_t second = good.find(count, good.find(count) + 1);
  ASSERT_NE(second, std::string::npos) << good;
  for (const std::string& wrong : {std::string(" 320 240 25 1 49 "), std::string(" 320 240 50 1 ")}) {
    std::string edited = good;
    edited.replace(second, wrong.size(), wrong);  // as long as what it replaces
    for (const char* name : {"show_chunk", "show"}) {
      SCOPED_TRACE(name + (" with" + wrong));
      std::ofstream(cache, std::ios::trunc) << edited;
      const Read failed = Play(folder / (std::string(name) + ".avs"));
      ASSERT_NE(failed.error, "") << "never a frame of another timeline: " << failed.frames.size() << " frames";
      if (failed.error.rfind("DorvelFilter: ", 0) == 0) {
        EXPECT_NE(failed.error.find("Part(2) made a clip other than its description in the cache " + cache.string()),
                  std::string::npos)
            << failed.error;
        EXPECT_NE(failed.error.find("the next load of the script learns them again"), std::string::npos);
      }
      ExpectAsDirect(folder, "the load after the failed one");
    }
  }
}

// A part whose function is defined in another script than the one that makes
// the call (an imported functions.avs), or that imports its part (content.avs,
// read and closed again), or an imported part that imports another: an edit there changes the part, and nothing the
// cache looks at shows it. Such parts are not kept, so a chunk that never
// reads the edited part still has the timeline of the direct script.
TEST_F(RealDecoderCacheProject, APartMadeFromAScriptTheCacheCannotSeeIsOpenedAtEveryLoad) {
  const std::string source = "FFVideoSource(\"p\" + String(i) + \".mkv\", cache=false)";
  struct Layout {
    const char* what;
    std::string part;      // what show.avs and direct.avs define or import
    fs::path edited;       // the file the edit is made in
    std::string original;  // its text before and after the edit
    std::string edit;
    std::string show =
        "UnalignedSplice(DorvelFilter(\"Part\", [1]), DorvelFilter(\"Part\", [2]), "
        "DorvelFilter(\"Part\", [3]))\n";
    std::string direct = "UnalignedSplice(Part(1), Part(2), Part(3))\n";
    int notKept = 3;  // parts the log says are not kept
  };
  const std::string nested = folder.string() + "/nested1.avs";
  const Layout layouts[] = {
      {"a function of an imported script", "Import(\"" + (folder / "functions.avs").string() + "\")\n",
       folder / "functions.avs", "function Part(int i) { return " + source + " }\n",
       "function Part(int i) { c = " + source + "\nreturn i == 1 ? c.Trim(10, 0) : c }\n"},
      {"a function that imports its part",
       "function Part(int i) { return Import(\"" + folder.string() + "/content\" + String(i) + \".avs\") }\n",
       folder / "content1.avs", "FFVideoSource(\"p1.mkv\", cache=false)\n",
       "FFVideoSource(\"p1.mkv\", cache=false).Trim(10, 0)\n"},
      {"an imported part that imports another", "function Part(int i) { return " + source + " }\n",
       folder / "content1.avs", "FFVideoSource(\"p1.mkv\", cache=false)\n",
       "FFVideoSource(\"p1.mkv\", cache=false).Trim(10, 0)\n",
       "UnalignedSplice(DorvelFilter(\"Import\", [\"" + nested +
           "\"]), DorvelFilter(\"Part\", [2]), "
           "DorvelFilter(\"Part\", [3]))\n",
       "UnalignedSplice(Import(\"" + nested + "\"), Part(2), Part(3))\n", 1},
      {"a function that imports its part, run by Apply",
       "function Part(int i) { return Import(\"" + folder.string() + "/content\" + String(i) + \".avs\") }\n",
       folder / "content1.avs", "FFVideoSource(\"p1.mkv\", cache=false)\n",
       "FFVideoSource(\"p1.mkv\", cache=false).Trim(10, 0)\n",
       "UnalignedSplice(DorvelFilter(\"Apply\", [\"Part\", 1]), DorvelFilter(\"Part\", [2]), "
       "DorvelFilter(\"Part\", [3]))\n"},
  };
  std::ofstream(nested) << "Import(\"" << (folder / "content1.avs").string() << "\")\n";
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.what);
    for (int i = 1; i <= 3; ++i) {
      std::ofstream(folder / ("content" + std::to_string(i) + ".avs"))
          << "FFVideoSource(\"p" << i << ".mkv\", cache=false)\n";
    }
    std::ofstream(layout.edited) << layout.original;
    fs::remove(folder / "show.avs.dorvelcache");
    std::ofstream(folder / "show.avs") << "SetLogParams(\"" << (folder / "host.log").string() << "\", LOG_INFO)\n"
                                       << "DorvelFilterCache()\n"
                                       << layout.part << layout.show;
    std::ofstream(folder / "direct.avs") << layout.part << layout.direct;
    ExpectAsDirect(folder, "the first loads");
    const Read second = Play(folder / "show.avs");
    EXPECT_EQ(Count(second.log, "WARNING: DorvelFilterCache: "), layout.notKept) << second.log;
    EXPECT_NE(second.log.find("is not kept in the cache"), std::string::npos) << second.log;
    std::ofstream(layout.edited) << layout.edit;
    ExpectAsDirect(folder, "the part edited where the cache cannot see");
    EXPECT_EQ(Play(folder / "show_chunk.avs").frameCount, 80);
  }
}
// Not yet mended: a part imported by name that reads a global variable set by
// a script the calling script imports (settings.avs) is kept, recording its
// own script, the calling script and its source, but not settings.avs: an
// edit there changes the part's length, and a chunk that never reads that
// part plays a shifted timeline with no error. Enable once such a part is
// not kept (or settings.avs is recorded).
TEST_F(RealDecoderCacheProject, DISABLED_AnImportedPartReadingAGlobalOfAnImportedScriptIsNotKept) {
  const fs::path settings = folder / "settings.avs";
  std::ofstream(settings) << "global cut = 0\n";
  std::ofstream(folder / "content1.avs") << "FFVideoSource(\"p1.mkv\", cache=false).Trim(cut, 0)\n";
  const std::string part = "Import(\"" + settings.string() +
                           "\")\nfunction Part(int i) { return FFVideoSource(\"p\" + "
                           "String(i) + \".mkv\", cache=false) }\n";
  const std::string first = "Import(\"" + (folder / "content1.avs").string() + "\")";
  std::ofstream(folder / "show.avs") << "SetLogParams(\"" << (folder / "host.log").string() << "\", LOG_INFO)\n"
                                     << "DorvelFilterCache()\n"
                                     << part << "UnalignedSplice(DorvelFilter(\"Import\", [\""
                                     << (folder / "content1.avs").string()
                                     << "\"]), DorvelFilter(\"Part\", [2]), DorvelFilter(\"Part\", [3]))\n";
  std::ofstream(folder / "direct.avs") << part << "UnalignedSplice(" << first << ", Part(2), Part(3))\n";
  ExpectAsDirect(folder, "the first loads");
  std::ofstream(settings, std::ios::trunc) << "global cut = 10\n";
  ExpectAsDirect(folder, "the global edited in the imported settings");
}
}  // namespace
