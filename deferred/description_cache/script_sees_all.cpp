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
