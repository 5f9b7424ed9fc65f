#include "script_sees_all.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool InName(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

// Whether `word` stands in `text` at `at` as a word of its own.
bool WordAt(const std::string& text, std::size_t at, std::size_t length) {
  return (at == 0 || !InName(text[at - 1])) && (at + length >= text.size() || !InName(text[at + length]));
}

// Whether the lower-case `text` holds "function NAME" for the lower-case
// `name`.
bool Defines(const std::string& text, const std::string& name) {
  const std::string keyword = "function";
  for (std::size_t at = text.find(keyword); at != std::string::npos; at = text.find(keyword, at + 1)) {
    if (!WordAt(text, at, keyword.size())) continue;
    std::size_t after = at + keyword.size();
    const std::size_t spaces = after;
    while (after < text.size() && std::isspace(static_cast<unsigned char>(text[after])) != 0) ++after;
    if (after > spaces && text.compare(after, name.size(), name) == 0 && WordAt(text, after, name.size())) return true;
  }
  return false;
}

// Whether the "import" at `at` in the lower-case `text` is the function a
// DorvelFilter is given, DorvelFilter("Import": that part is a filter of
// its own, whose scripts are looked at when it learns.
bool OwnCall(const std::string& text, std::size_t at) {
  const auto skipSpaces = [&text](std::size_t& i) {
    while (i > 0 && std::isspace(static_cast<unsigned char>(text[i - 1])) != 0) --i;
  };
  std::size_t i = at;
  if (i == 0 || text[i - 1] != '"') return false;
  --i;
  skipSpaces(i);
  if (i == 0 || text[i - 1] != '(') return false;
  --i;
  skipSpaces(i);
  const std::string name = "dorvelfilter";
  return i >= name.size() && text.compare(i - name.size(), name.size(), name) == 0 &&
         WordAt(text, i - name.size(), name.size());
}

}  // namespace

bool SaysImport(const std::string& text) {
  const std::string lower = Lower(text);
  for (std::size_t at = lower.find("import"); at != std::string::npos; at = lower.find("import", at + 1)) {
    if (WordAt(lower, at, 6) && !OwnCall(lower, at)) return true;
  }
  return false;
}

std::string FunctionNamed(const std::string& text, const std::string& userFunctions) {
  const std::string lower = Lower(text);
  std::istringstream names(userFunctions);
  for (std::string name; names >> name;) {
    const std::string wanted = Lower(name);
    for (std::size_t at = lower.find(wanted); at != std::string::npos; at = lower.find(wanted, at + 1)) {
      if (WordAt(lower, at, wanted.size())) return name;
    }
  }
  return "";
}

bool ReadScript(const std::string& path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) return false;
  std::stringstream read;
  read << file.rdbuf();
  text = read.str();
  return true;
}

std::string WhatTheScriptCannotShow(const std::string& path, const char* functionName,
                                    const std::string& userFunctions) {
  std::string text;
  if (!ReadScript(path, text)) return "the script that made the call does not read";
  // Any word "import", even in a comment: an Import in a function's body,
  // or of the script's functions, reads a file and closes it again.
  if (functionName != nullptr && SaysImport(text)) return "the script that made the call imports another script";
  text = Lower(text);
  std::istringstream names(userFunctions + " " + (functionName != nullptr ? functionName : ""));
  for (std::string name; names >> name;) {
    // The host lists each function a second time, its name after a '_'.
    const std::string lower = Lower(name);
    if (!Defines(text, lower) && (lower[0] != '_' || !Defines(text, lower.substr(1)))) {
      return "the script that made the call does not define " + name +
             " (a script imported before it, or autoloaded, does)";
    }
  }
  return "";
}

namespace {

// Each word of `text` in turn, a name's letters, digits and '_' from a
// letter or '_' on; the digits and letters of a number are no word.
template <typename Each>
void ForEachWord(const std::string& text, Each each) {
  std::size_t at = 0;
  while (at < text.size()) {
    if (!InName(text[at])) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < text.size() && InName(text[end])) ++end;
    if (std::isdigit(static_cast<unsigned char>(text[at])) == 0 && each(text.substr(at, end - at))) return;
    at = end;
  }
}

// Whether the lower-case `text` sets the lower-case `name` plainly before
// its first word "dorvelfilter", where a part can first be made: there it
// sets `name` at least once, and each time with "name =" (not "==") and,
// on the rest of that line, nothing but numbers, strings, true or false and
// operators. A value that any other word makes (a variable, a function that
// reads a file) is not shown by the script's text, and one set after a part
// is made is not the value the part read.
bool SetsPlainly(const std::string& text, const std::string& name) {
  std::size_t firstCall = text.find("dorvelfilter");
  while (firstCall != std::string::npos && !WordAt(text, firstCall, 12))
    firstCall = text.find("dorvelfilter", firstCall + 1);
  bool sets = false;
  for (std::size_t at = text.find(name); at < firstCall; at = text.find(name, at + 1)) {
    if (!WordAt(text, at, name.size())) continue;
    std::size_t after = at + name.size();
    while (after < text.size() && (text[after] == ' ' || text[after] == '\t')) ++after;
    if (after >= text.size() || text[after] != '=' || (after + 1 < text.size() && text[after + 1] == '=')) continue;
    const std::size_t lineEnd = std::min(text.find('\n', after), text.size());
    // The rest of the line without its strings and its comment.
    std::string rest;
    bool inString = false;
    for (std::size_t i = after + 1; i < lineEnd; ++i) {
      if (text[i] == '"') {
        inString = !inString;
      } else if (!inString && text[i] == '#') {
        break;
      } else if (!inString) {
        rest += text[i];
      }
    }
    bool madeOfWords = inString;
    ForEachWord(rest, [&](const std::string& word) {
      return madeOfWords = word != "true" && word != "false" && word != "yes" && word != "no";
    });
    if (madeOfWords) return false;
    sets = true;
  }
  return sets;
}

// Whether the lower-case `word` is "last", a word the host reads as a
// value (true, yes, ...) or a constant the host sets for every script,
// alike at each load: none of them is a part's own.
bool HostsOwn(const std::string& word) {
  static const char* const kOwn[] = {"last",
                                     "true",
                                     "false",
                                     "yes",
                                     "no",
                                     "log_error",
                                     "log_warning",
                                     "log_info",
                                     "log_debug",
                                     "mt_nice_filter",
                                     "mt_multi_instance",
                                     "mt_serialized",
                                     "mt_special_mt",
                                     "cache_fast_start",
                                     "cache_optimal_size",
                                     "dev_type_cpu",
                                     "dev_type_cuda",
                                     "dev_type_any"};
  for (const char* own : kOwn) {
    if (word == own) return true;
  }
  return false;
}

}  // namespace

std::string AsksWhatNoFileHolds(const std::string& text) {
  // "try": what a caught error stood for (a file not there, say) shows in
  // no file that is there. "eval", "apply": the text they run, or the name
  // of what they call, may be built, and name a variable no word names.
  static const char* const kAsks[] = {"exist",
                                      "rand",
                                      "time",
                                      "versionnumber",
                                      "versionstring",
                                      "isversionorgreater",
                                      "functionexists",
                                      "internalfunctionexists",
                                      "varexist",
                                      "getprocessinfo",
                                      "setmemorymax",
                                      "getsystemenv",
                                      "try",
                                      "eval",
                                      "apply"};
  std::string found;
  ForEachWord(Lower(text), [&found](const std::string& word) {
    for (const char* ask : kAsks) {
      if (word == ask) found = word;
    }
    return !found.empty();
  });
  return found;
}

std::string VariableFromOutside(const std::string& text, const std::string& calling,
                                const std::function<bool(const std::string&)>& isVariable) {
  const std::string lowerCalling = Lower(calling);
  std::string found;
  ForEachWord(Lower(text), [&](const std::string& word) {
    if (!HostsOwn(word) && isVariable(word) && !SetsPlainly(lowerCalling, word)) found = word;
    return !found.empty();
  });
  return found;
}

std::string FunctionBodies(const std::string& text) {
  const std::string lower = Lower(text);
  const std::string keyword = "function";
  std::string bodies;
  std::size_t from = 0;
  for (std::size_t at = lower.find(keyword); at != std::string::npos;
       at = lower.find(keyword, std::max(at + 1, from))) {
    if (at < from || !WordAt(lower, at, keyword.size())) continue;
    const std::size_t open = lower.find('{', at);
    if (open == std::string::npos) break;
    int depth = 0;
    std::size_t close = open;
    for (; close < lower.size(); ++close) {
      if (lower[close] == '{') ++depth;
      if (lower[close] == '}' && --depth == 0) break;
    }
    // Braces that do not close: all the rest is taken.
    bodies += text.substr(open, close - open + 1) + "\n";
    from = close + 1;
  }
  return bodies;
}

std::vector<std::string> StringsIn(const std::string& text) {
  std::vector<std::string> strings;
  for (std::size_t open = text.find('"'); open != std::string::npos;) {
    const std::size_t close = text.find('"', open + 1);
    if (close == std::string::npos) break;
    if (close > open + 1) strings.push_back(text.substr(open + 1, close - open - 1));
    open = text.find('"', close + 1);
  }
  return strings;
}
