#include "learned_from.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "deferred/calls/script_var.h"
#include "deferred/description_cache/cache_key.h"
#include "deferred/description_cache/script_sees_all.h"

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
  const bool callingImports = runsScript && (!ReadScript(script_.path, calling) || SaysImport(calling));
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
  if (!unseen_.empty()) unseen_ = prefix + unseen_;
}

void LearnedFrom::Opened(bool attributed, std::vector<FileState> files) {
  attributed_ = attributed;
  opened_ = std::move(files);
}

bool LearnedFrom::Files(std::vector<FileState>& files, std::string& why) const {
  files.clear();
  if (!attributed_) {
    why = "its opening ran beside another, or this system does not tell which files a process holds open";
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
  for (const FileState& file : opened_) AddOnce(files, file);
  if (hasScript_) AddOnce(files, script_);
  return true;
}
