#include "learned_from.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <system_error>

#include "deferred/calls/script_var.h"
#include "deferred/description_cache/made_from/cache_key.h"
#include "deferred/description_cache/made_from/script_sees_all.h"

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool HasVar(IScriptEnvironment* env, const char* name) {
  try {
    env->GetVar(name);
    return true;
  } catch (const IScriptEnvironment::NotFound&) {
    return false;
  }
}

// Whether a script defined `name`: the host lists the functions scripts
// define in "$UserFunctions$", made with the first one; the plugins' and
// its own are listed apart. A host that keeps no such lists is taken to have
// them all defined by scripts.
bool DefinedByScript(IScriptEnvironment* env, const char* name) {
  const std::string listed = StringVar(env, "$UserFunctions$");
  if (listed.empty()) return !HasVar(env, "$PluginFunctions$") && !HasVar(env, "$InternalFunctions$");
  std::istringstream names(Lower(listed));
  const std::string wanted = Lower(name);
  for (std::string one; names >> one;) {
    if (one == wanted) return true;
  }
  return false;
}

void AddOnce(std::vector<FileState>& files, const FileState& file) {
  const auto same = [&file](const FileState& known) {
    return known.path == file.path || (known.volume == file.volume && known.id == file.id);
  };
  if (std::none_of(files.begin(), files.end(), same)) files.push_back(file);
}

// The files of `opened` as the links in `where` name them, a link to a
// folder with the rest of the file's name after it. A file opened through
// a link lists as the file the link names now: a link turned to another
// file shows only under the link's own name.
void AddThroughLinks(const Folder& where, const std::vector<FileState>& opened, std::vector<FileState>& files) {
  std::error_code error;
  for (std::filesystem::directory_iterator it(where, error), end; !error && it != end; it.increment(error)) {
    std::error_code linkError;
    if (!it->is_symlink(linkError) || linkError) continue;
    const Folder target = std::filesystem::canonical(it->path(), linkError);
    if (linkError) continue;
    const std::string named = target.u8string();
    for (const FileState& file : opened) {
      std::string through;
      if (file.path == named) {
        through = it->path().u8string();
      } else if (file.path.size() > named.size() && file.path.compare(0, named.size(), named) == 0 &&
                 (file.path[named.size()] == '/' || file.path[named.size()] == '\\')) {
        through = (it->path() / Folder(file.path.substr(named.size() + 1))).u8string();
      }
      FileState state;
      if (!through.empty() && StateOfFile(through, state)) AddOnce(files, state);
    }
  }
}

// Whether the host function `name` runs script text it is given or reads.
bool RunsScript(const char* name) {
  const std::string lower = Lower(name);
  return lower == "import" || lower == "eval" || lower == "apply";
}

}  // namespace

LearnedFrom::LearnedFrom(IScriptEnvironment* env, const char* functionName, const Folder* folder,
                         std::vector<FileState> named, const std::string& call)
    : named_(std::move(named)), scriptFunction_(DefinedByScript(env, functionName)) {
  const bool runsScript = !scriptFunction_ && RunsScript(functionName);
  runsScript_ = runsScript;
  const std::string prefix =
      scriptFunction_ ? "its function is a script's, and " : "its function runs script text, and ";
  // The script being read, as the host names it. A script imported by a
  // relative name is named relative to the folder it was imported from, not
  // to its own, which is the working folder now: its own name is taken there.
  const std::string script = StringVar(env, "$ScriptName$");
  if (script.empty()) {
    if (runsScript) unseen_ = prefix + "the script was not loaded from a file";
    return;
  }
  const Folder scriptPath(script);
  const std::string name = scriptPath.is_relative() ? scriptPath.filename().string() : script;
  hasScript_ = StateOfNamedFile(name, folder, script_);
  if (folder != nullptr) linkFolders_.push_back(*folder);
  const Folder scriptFolder = Folder(script_.path).parent_path();
  if (hasScript_ && (folder == nullptr || scriptFolder.lexically_normal() != folder->lexically_normal())) {
    linkFolders_.push_back(scriptFolder);
  }
  if (!hasScript_ || !(scriptFunction_ || runsScript)) return;
  const std::string users = StringVar(env, "$UserFunctions$");
  unseen_ = WhatTheScriptCannotShow(script_.path, scriptFunction_ ? functionName : nullptr, users);
  // What it runs imports nothing more: the text it is given, or the scripts
  // it is named.
  std::string text;
  const std::size_t arguments = std::min(call.find('('), call.size());
  if (unseen_.empty() && runsScript && SaysImport(call.substr(arguments)))
    unseen_ = "the text it runs imports a script";
  // A script function it runs may import: the calling script shows that
  // only when it imports nothing.
  std::string calling;
  const bool callingRead = ReadScript(script_.path, calling);
  const bool callingImports = runsScript && (!callingRead || SaysImport(calling));
  if (unseen_.empty() && callingImports && !FunctionNamed(call.substr(arguments), users).empty()) {
    unseen_ = "the text it runs calls a script function of a script that imports another";
  }
  for (const FileState& file : named_) {
    if (unseen_.empty() && runsScript && (!ReadScript(file.path, text) || SaysImport(text))) {
      unseen_ = "the script it runs, " + file.path + ", imports another script";
    }
    if (unseen_.empty() && callingImports && !FunctionNamed(text, users).empty()) {
      unseen_ = "the script it runs, " + file.path + ", calls a script function of a script that imports another";
    }
  }
  // What the part runs may read what no file shows: a variable a script
  // importing the calling one (a chunk's), an autoloaded script or the
  // client set, or what a function such as Exist answers. It runs the
  // calling script's functions, not its other lines.
  std::string read = FunctionBodies(calling);
  if (runsScript) read += "\n" + call.substr(arguments);
  for (const FileState& file : named_) {
    if (runsScript && ReadScript(file.path, text)) read += "\n" + text;
  }
  if (unseen_.empty() && !callingRead) unseen_ = "the script that made the call does not read";
  const std::string asks = AsksWhatNoFileHolds(read);
  if (unseen_.empty() && !asks.empty()) unseen_ = "the script it runs says " + asks + ", whose outcome no file shows";
  const std::string variable =
      VariableFromOutside(read, calling, [env](const std::string& name) { return HasVar(env, name.c_str()); });
  if (unseen_.empty() && !variable.empty()) {
    unseen_ = "the script it runs reads the variable " + variable + ", which the calling script does not set";
  }
  // A file a string there names may be read and let go before the part
  // returns (a source's length taken, the source dropped): it is looked at
  // as a file the call names.
  for (const std::string& string : StringsIn(read)) {
    FileState state;
    if (StateOfNamedFile(string, folder, state)) AddOnce(named_, state);
  }
  if (!unseen_.empty()) unseen_ = prefix + unseen_;
}

bool LearnedFrom::Fits(const std::vector<FileState>& entryFiles) const {
  if (!scriptFunction_ && !runsScript_) return true;
  if (!hasScript_) return false;
  const auto calling = [this](const FileState& file) { return file.path == script_.path; };
  return std::any_of(entryFiles.begin(), entryFiles.end(), calling);
}

void LearnedFrom::Opened(Watched watched, std::vector<FileState> files) {
  watched_ = watched;
  opened_ = std::move(files);
}

bool LearnedFrom::Files(std::vector<FileState>& files, std::string& why) const {
  files.clear();
  switch (watched_) {
    case Watched::Told:
      break;
    case Watched::NotWatched:
      why = "its opening ran beside another";
      return false;
    case Watched::Unlistable:
      why = "this system does not tell which files a process holds open";
      return false;
    case Watched::UnknownFile:
      why = "it opened a file whose system does not tell its change time or file ID, which show a file replaced";
      return false;
  }
  if (scriptFunction_ && !hasScript_) {
    why = "its function is a script's, and the script was not loaded from a file";
    return false;
  }
  if (scriptFunction_ && named_.empty() && opened_.empty()) {
    why = "its function is a script's, and neither names a file in its call nor holds one open once it returns";
    return false;
  }
  if (!unseen_.empty()) {
    why = unseen_;
    return false;
  }
  for (const FileState& file : named_) AddOnce(files, file);
  // Before the files themselves: the same file under a link's name stands
  // for both.
  for (const Folder& where : linkFolders_) AddThroughLinks(where, opened_, files);
  for (const FileState& file : opened_) AddOnce(files, file);
  if (hasScript_) AddOnce(files, script_);
  return true;
}
