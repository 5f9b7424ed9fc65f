// Every script of the README and of the pages in docs/, played in a real host
// twice: with the module, and without it, where "DorvelFilter" calls its
// function at once. The suite's files stand in under the names the pages use
// (part001.mkv to part300.mkv, its 30 files over again, and short.mkv, a file
// of 30 frames), and a script that begins with "# NAME.avs" is saved under
// that name for the others to import. Each script
// must play, and give the same description, frames and audio both ways;
// except a script that declares the error it raises, in a line
// "# error while loading: MESSAGE" or "# error at the first frame: MESSAGE",
// which must raise just that, then, with the module, and the same message
// while loading without it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_session.h"

namespace {

namespace fs = std::filesystem;

struct ReadmeScript {
  std::string name;  // after the section it stands in, for the case's name
  std::string text;
  std::string error;  // the message it declares, or empty
  bool errorWhileLoading = false;
};

const char* const kErrorWhileLoading = "# error while loading: ";
const char* const kErrorAtFirstFrame = "# error at the first frame: ";

void PrintTo(const ReadmeScript& script, std::ostream* out) { *out << script.name; }

// A heading's words run together, each capitalised: "QuickStart".
std::string SectionName(const std::string& heading) {
  std::string name;
  bool wordStart = true;
  for (char c : heading) {
    const bool letter = std::isalnum(static_cast<unsigned char>(c)) != 0;
    if (letter) name += wordStart ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    wordStart = !letter;
  }
  return name;
}

// The ```avisynth blocks of one page, in order, named after their sections
// with `prefix` first.
void AddScriptsOf(const fs::path& page, const std::string& prefix, std::vector<ReadmeScript>& scripts) {
  std::ifstream readme(page);
  if (!readme) throw std::runtime_error("cannot read " + page.string());
  std::string line, section = prefix.empty() ? "Readme" : prefix;
  int inSection = 0;
  bool inFence = false, inScript = false;
  while (std::getline(readme, line)) {
    if (line.rfind("```", 0) == 0) {
      inFence = !inFence;
      inScript = inFence && line == "```avisynth";
      if (inScript) {
        scripts.emplace_back();
        scripts.back().name = section + (inSection++ == 0 ? "" : "_" + std::to_string(inSection));
      }
    } else if (inScript) {
      scripts.back().text += line + "\n";
      for (const char* declaration : {kErrorWhileLoading, kErrorAtFirstFrame}) {
        if (line.rfind(declaration, 0) == 0) {
          scripts.back().error = line.substr(std::string(declaration).size());
          scripts.back().errorWhileLoading = declaration == kErrorWhileLoading;
        }
      }
    } else if (!inFence && line.rfind("#", 0) == 0) {
      section = prefix + SectionName(line);
      inSection = 0;
    }
  }
}

// The README's scripts, named after their sections, then those of every page
// in docs/, each name led by its page's: "ScriptChanges_AudioOnlyParts".
std::vector<ReadmeScript> ScriptsOfTheReadme() {
  std::vector<ReadmeScript> scripts;
  AddScriptsOf(DORVEL_README, "", scripts);
  std::vector<fs::path> pages;
  for (const fs::directory_entry& entry : fs::directory_iterator(DORVEL_DOCS_DIR)) {
    if (entry.path().extension() == ".md") pages.push_back(entry.path());
  }
  std::sort(pages.begin(), pages.end());
  for (const fs::path& page : pages) AddScriptsOf(page, SectionName(page.stem().string()) + "_", scripts);
  return scripts;
}

// "DorvelFilter" without the module: the function is called at once, with
// the arguments the parameters describe.
AVSValue CallAtOnce(AVSValue args, void*, IScriptEnvironment* env) {
  const AVSValue& parameters = args[1];
  std::vector<AVSValue> values;
  std::vector<const char*> names;
  for (int i = 0; i < parameters.ArraySize(); ++i) {
    const AVSValue& element = parameters[i];
    const bool pair = element.IsArray() && element.ArraySize() == 2 && element[0].IsString();
    const char* name = pair ? element[0].AsString() : nullptr;
    if (name == nullptr) {
      values.push_back(element);
    } else if (name[0] == '!') {
      const AVSValue escaped[2] = {AVSValue(name + 1), element[1]};
      values.emplace_back(escaped, 2);
      name = nullptr;
    } else {
      values.push_back(element[1]);
    }
    names.push_back(name);
  }
  return env->Invoke(args[0].AsString(), AVSValue(values.data(), static_cast<int>(values.size())),
                     names.empty() ? nullptr : names.data());
}

AVSValue SetNoLimit(AVSValue args, void*, IScriptEnvironment*) { return args[0]; }

// "DorvelFilterCheck" without the module: every call is made at once anyway.
AVSValue CheckNothing(AVSValue args, void*, IScriptEnvironment*) {
  return args[0].Defined() ? args[0] : AVSValue(true);
}

// "DorvelFilterCache" without the module: there is nothing to cache.
AVSValue CacheNothing(AVSValue, void*, IScriptEnvironment*) { return ""; }

// What a script played: its description, every frame's digest, every byte
// of its audio.
struct Played {
  VideoInfo vi{};
  std::vector<uint64_t> frames;
  std::vector<unsigned char> audio;
};

Played Play(HostSession& host, const std::string& script) {
  Played played;
  const PClip clip = host.Clip(script);
  played.vi = clip->GetVideoInfo();
  if (played.vi.HasVideo()) played.frames = FrameDigests(clip, host.env());
  if (played.vi.HasAudio()) played.audio = AllAudio(clip, host.env());
  return played;
}

// The errors a script raised: while it loaded, and at the first request for
// frames (or audio, when it has no video).
struct Raised {
  std::string whileLoading;
  std::string atFirstFrame;
};

Raised ErrorsOf(HostSession& host, const std::string& script) {
  Raised raised;
  PClip clip;
  raised.whileLoading = HostErrorOf([&] { clip = host.Clip(script); });
  if (!clip) return raised;
  raised.atFirstFrame = HostErrorOf([&] {
    if (clip->GetVideoInfo().HasVideo()) {
      clip->GetFrame(0, host.env());
    } else {
      unsigned char samples[64];
      clip->GetAudio(samples, 0, 1, host.env());
    }
  });
  return raised;
}

// A new folder of the README's file names, with the README's "# NAME.avs"
// scripts saved in it.
fs::path MakeReadmeFolder() {
  char pattern[] = "/tmp/dorvel-readme-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("no folder for the README's scripts");
  const fs::path work = pattern;
  for (int i = 1; i <= 300; ++i) {
    char name[32], source[32];
    std::snprintf(name, sizeof name, "part%03d.mkv", i);
    std::snprintf(source, sizeof source, "part%02d.mkv", (i - 1) % 30);
    fs::create_symlink(fs::path(DORVEL_MEDIA_DIR) / source, work / name);
  }
  fs::create_symlink(fs::path(DORVEL_MEDIA_DIR) / "short30.mkv", work / "short.mkv");
  for (const ReadmeScript& script : ScriptsOfTheReadme()) {
    std::istringstream text(script.text);
    std::string first;
    std::getline(text, first);
    const std::string::size_type end = first.find(".avs");
    if (first.rfind("# ", 0) == 0 && end != std::string::npos) {
      std::ofstream(work / first.substr(2, end + 2)) << script.text;
    }
  }
  setenv("HOME", work.c_str(), 1);  // no plugins from the user's own folders
  return work;
}

class ReadmeScripts : public ::testing::TestWithParam<ReadmeScript> {
 protected:
  // The scripts run with the README's folder as the current folder.
  static void SetUpTestSuite() {
    work = MakeReadmeFolder();
    fs::current_path(work);
  }
  static void TearDownTestSuite() {
    fs::current_path("/");
    fs::remove_all(work);
  }

  // Makes "DorvelFilter" call its function at once, and loads FFMS2.
  static void WithoutTheModule(HostSession& host) {
    host.env()->AddFunction("DorvelFilter", "s[parameters]a[vi_clip]c", CallAtOnce, nullptr);
    host.env()->AddFunction("DorvelFilterLimit", "i", SetNoLimit, nullptr);
    host.env()->AddFunction("DorvelFilterCheck", "[enable]b", CheckNothing, nullptr);
    host.env()->AddFunction("DorvelFilterCache", "[file]s", CacheNothing, nullptr);
    host.LoadPlugin(DORVEL_FFMS2_PLUGIN);
  }

  static void ExpectTheDeclaredError(const ReadmeScript& script) {
    Raised deferred, direct;
    {
      HostSession host;
      host.LoadPlugin(DORVEL_FFMS2_PLUGIN);
      deferred = ErrorsOf(host, script.text);
    }
    {
      HostSession host(HostSession::Module::Autoload);
      WithoutTheModule(host);
      direct = ErrorsOf(host, script.text);
    }
    if (script.errorWhileLoading) {
      EXPECT_EQ(deferred.whileLoading, script.error) << script.text;
    } else {
      EXPECT_EQ(deferred.whileLoading, "") << script.text;
      EXPECT_EQ(deferred.atFirstFrame, script.error) << script.text;
    }
    EXPECT_EQ(direct.whileLoading, script.error) << "without the module, while loading";
  }

  static fs::path work;
};

fs::path ReadmeScripts::work;

TEST_P(ReadmeScripts, PlayAsWithoutTheModule) {
  if (!GetParam().error.empty()) {
    ExpectTheDeclaredError(GetParam());
    return;
  }
  Played deferred, direct;
  {
    HostSession host;
    host.LoadPlugin(DORVEL_FFMS2_PLUGIN);
    ASSERT_EQ(HostErrorOf([&] { deferred = Play(host, GetParam().text); }), "") << GetParam().text;
  }
  {
    HostSession host(HostSession::Module::Autoload);
    WithoutTheModule(host);
    ASSERT_EQ(HostErrorOf([&] { direct = Play(host, GetParam().text); }), "") << GetParam().text;
  }
  EXPECT_EQ(deferred.vi.width, direct.vi.width);
  EXPECT_EQ(deferred.vi.height, direct.vi.height);
  EXPECT_TRUE(deferred.vi.IsSameColorspace(direct.vi));
  EXPECT_EQ(deferred.vi.num_frames, direct.vi.num_frames);
  EXPECT_EQ(deferred.vi.fps_numerator * direct.vi.fps_denominator,
            direct.vi.fps_numerator * deferred.vi.fps_denominator);
  ASSERT_EQ(deferred.vi.HasAudio(), direct.vi.HasAudio());
  if (direct.vi.HasAudio()) {
    EXPECT_EQ(deferred.vi.audio_samples_per_second, direct.vi.audio_samples_per_second);
    EXPECT_EQ(deferred.vi.nchannels, direct.vi.nchannels);
    EXPECT_EQ(deferred.vi.sample_type, direct.vi.sample_type);
    EXPECT_EQ(deferred.vi.num_audio_samples, direct.vi.num_audio_samples);
  }
  EXPECT_TRUE(deferred.frames == direct.frames) << "frames differ";
  EXPECT_TRUE(deferred.audio == direct.audio) << "audio differs";
  EXPECT_FALSE(deferred.frames.empty() && deferred.audio.empty()) << "the script played nothing";
}

INSTANTIATE_TEST_SUITE_P(Readme, ReadmeScripts, ::testing::ValuesIn(ScriptsOfTheReadme()),
                         [](const ::testing::TestParamInfo<ReadmeScript>& info) { return info.param.name; });

// The balanced join of "Thousands of parts" must play the quick start's
// splice: the same frames in the same order, not merely the same frames with
// and without the module.
class ReadmeJoins : public ReadmeScripts {};

std::string ScriptOfSection(const std::string& name) {
  for (const ReadmeScript& script : ScriptsOfTheReadme()) {
    if (script.name == name) return script.text;
  }
  ADD_FAILURE() << "no script in the README's section " << name;
  return "";
}

TEST_F(ReadmeJoins, BalancedJoinPlaysTheQuickStartsSplice) {
  std::vector<uint64_t> loop, balanced;
  {
    HostSession host;
    host.LoadPlugin(DORVEL_FFMS2_PLUGIN);
    ASSERT_EQ(HostErrorOf([&] { loop = FrameDigests(host.Clip(ScriptOfSection("QuickStart")), host.env()); }), "");
  }
  {
    HostSession host;
    host.LoadPlugin(DORVEL_FFMS2_PLUGIN);
    ASSERT_EQ(HostErrorOf([&] { balanced = FrameDigests(host.Clip(ScriptOfSection("ThousandsOfParts")), host.env()); }),
              "");
  }
  EXPECT_EQ(loop.size(), 300u * 50u);
  EXPECT_TRUE(balanced == loop) << "the balanced join plays other frames than the loop";
}

// The quick start's splice.avs and the chunk that imports it, played as a
// client plays them: imported by their full names from a working folder of
// the client's own, empty or holding decoy files of the README's names (other
// files of the suite's, and scripts of other frames). They must give the
// frames they give from the README's folder, where the existing cases show
// they are the frames of the splice without the module.
class ReadmeFromAnotherFolder : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    work = MakeReadmeFolder();
    fs::create_directory(work / "empty");
    fs::create_directory(work / "decoys");
    for (int i = 1; i <= 300; ++i) {
      char name[32], source[32];
      std::snprintf(name, sizeof name, "part%03d.mkv", i);
      std::snprintf(source, sizeof source, "part%02d.mkv", (i + 11) % 30);
      fs::create_symlink(fs::path(DORVEL_MEDIA_DIR) / source, work / "decoys" / name);
    }
    for (const char* script : {"splice.avs", "chunk.avs"}) {
      std::ofstream(work / "decoys" / script)
          << "BlankClip(length=15000, width=320, height=240, pixel_type=\"YV12\")\n";
    }
  }
  static void TearDownTestSuite() {
    fs::current_path("/");
    fs::remove_all(work);
  }

  // Frames `frames` of `script` imported from `client`'s folder: their
  // digests, or the error that stopped them.
  static std::string Played(const fs::path& client, const char* script, const std::vector<int>& frames) {
    fs::current_path(client);
    HostSession host;
    host.LoadPlugin(DORVEL_FFMS2_PLUGIN);
    std::string played;
    const std::string error = HostErrorOf([&] {
      const PClip clip = host.Clip("Import(\"" + (work / script).string() + "\")");
      for (const int n : frames)
        played += std::to_string(FrameDigest(clip->GetFrame(n, host.env()), clip->GetVideoInfo())) + " ";
    });
    return error.empty() ? played : "error: " + error;
  }

  static fs::path work;
};

fs::path ReadmeFromAnotherFolder::work;

TEST_F(ReadmeFromAnotherFolder, TheQuickStartPlaysItsOwnFiles) {
  // The first and the last frame of every tenth part, and of the last one.
  std::vector<int> frames;
  for (int part = 0; part < 300; part += 10) frames.insert(frames.end(), {part * 50, part * 50 + 49});
  frames.push_back(299 * 50);
  const std::string expected = Played(work, "splice.avs", frames);
  ASSERT_EQ(expected.rfind("error", 0), std::string::npos) << expected;
  EXPECT_EQ(Played(work / "empty", "splice.avs", frames), expected) << "from an empty folder";
  EXPECT_EQ(Played(work / "decoys", "splice.avs", frames), expected) << "from a folder of decoys";
}

TEST_F(ReadmeFromAnotherFolder, TheChunkPlaysItsOwnFiles) {
  std::vector<int> frames(500);
  for (int n = 0; n < 500; ++n) frames[static_cast<std::size_t>(n)] = n;
  const std::string expected = Played(work, "chunk.avs", frames);
  ASSERT_EQ(expected.rfind("error", 0), std::string::npos) << expected;
  EXPECT_EQ(Played(work / "empty", "chunk.avs", frames), expected) << "from an empty folder";
  EXPECT_EQ(Played(work / "decoys", "chunk.avs", frames), expected) << "from a folder of decoys";
}

}  // namespace
