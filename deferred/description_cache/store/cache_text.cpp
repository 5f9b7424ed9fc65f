#include "cache_text.h"

#include <cerrno>
#include <cstdlib>

namespace {

constexpr const char* kHeader = "DorvelFilterCache ";

// The lines of a text that ends with a line end, taken forward one at a
// time rather than split all at once: a file of millions of empty lines
// would otherwise cost many times its size in memory.
class ForwardLines {
 public:
  explicit ForwardLines(const std::string& text) : text_(text) { Load(); }
  // Line `at`, counted from 0, or "" past the last. `at` never goes back.
  const std::string& operator()(std::size_t at) {
    while (index_ < at && start_ < text_.size()) {
      start_ += line_.size() + 1;
      ++index_;
      Load();
    }
    return line_;
  }
  bool Has(std::size_t at) {
    (*this)(at);
    return index_ == at && start_ < text_.size();
  }

 private:
  void Load() {
    if (start_ >= text_.size()) {
      line_.clear();
      return;
    }
    line_ = text_.substr(start_, text_.find('\n', start_) - start_);
  }

  const std::string& text_;
  std::size_t index_ = 0;
  std::size_t start_ = 0;
  std::string line_;
};

bool StartsWith(const std::string& line, const char* prefix, std::string& rest) {
  const std::string p(prefix);
  if (line.compare(0, p.size(), p) != 0) return false;
  rest = line.substr(p.size());
  return true;
}

// A whole decimal number, sign allowed, nothing else.
bool Number(const std::string& text, int64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || (i == 0 && c == '-' && text.size() > 1))) return false;
  }
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size()) return false;
  value = parsed;
  return true;
}

// `count` numbers separated by single spaces, then optionally the rest of
// the line (when `rest` is given: after one more space, not empty).
bool Numbers(const std::string& text, int64_t* values, int count, std::string* rest) {
  std::size_t start = 0;
  for (int i = 0; i < count; ++i) {
    const std::size_t space = text.find(' ', start);
    const bool last = i == count - 1 && rest == nullptr;
    if (last != (space == std::string::npos)) return false;
    const std::string token = text.substr(start, last ? std::string::npos : space - start);
    if (!Number(token, values[i])) return false;
    start = last ? text.size() : space + 1;
  }
  if (rest != nullptr) {
    *rest = text.substr(start);
    if (rest->empty()) return false;
  }
  return true;
}

// An escaped line: every backslash starts one of \\, \n, \r; no other
// control character but tab.
bool WellEscaped(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      if (i + 1 >= text.size()) return false;
      const char next = text[++i];
      if (next != '\\' && next != 'n' && next != 'r') return false;
    } else if (c < 0x20 && c != '\t') {
      return false;
    }
  }
  return true;
}

// Whether `d` is a description a clip can have: every field within what
// its place in the host's description holds, and no size or count below
// zero. Anything else comes from a damaged file or another program, and
// would reach the host cut down to fit, or as a negative count.
bool Describable(const CachedDescription& d) {
  constexpr int64_t kIntMax = 2147483647, kIntMin = -kIntMax - 1, kUnsignedMax = 4294967295;
  for (int i = 0; i < 11; ++i) {
    const int64_t v = d.fields[i];
    const bool count = i != 5 && i != 7 && i != 10;  // pixel type, sample type and image type are flags
    if (i == 2 || i == 3) {
      if (v < 0 || v > kUnsignedMax) return false;
    } else if (i == 8) {
      if (v < 0) return false;
    } else if (v < (count ? 0 : kIntMin) || v > kIntMax) {
      return false;
    }
  }
  return true;
}

// The text of a line that WellEscaped() accepted.
std::string Unescape(const std::string& text) {
  std::string plain;
  plain.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      plain += text[i];
      continue;
    }
    const char next = text[++i];
    plain += next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
  }
  return plain;
}

bool Fail(const std::string& reason, std::size_t line, std::string& why) {
  why = reason + (line > 0 ? " at line " + std::to_string(line) : std::string());
  return false;
}

}  // namespace

bool CachedDescription::operator==(const CachedDescription& other) const {
  for (int i = 0; i < 11; ++i) {
    if (fields[i] != other.fields[i]) return false;
  }
  return true;
}

std::string EscapeForCacheLine(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string WriteCacheText(const std::vector<CacheEntry>& entries) {
  std::string text = kHeader + std::to_string(kCacheFormat) + "\n";
  for (const CacheEntry& entry : entries) {
    text += "entry\n" + entry.key;
    for (const FileState& file : entry.files) {
      text += "file " + std::to_string(file.size) + " " + std::to_string(file.modified) + " " +
              std::to_string(file.changed) + " " + std::to_string(file.volume) + " " + std::to_string(file.id) + " " +
              EscapeForCacheLine(file.path) + "\n";
    }
    text += "description";
    for (const int64_t field : entry.description.fields) text += " " + std::to_string(field);
    text += "\nmodule " + entry.module + "\nchecked " + (entry.checked ? "1" : "0") + "\nend\n";
  }
  return text + "entries " + std::to_string(entries.size()) + "\n";
}

bool ReadCacheText(const std::string& text, std::vector<CacheEntry>& entries, std::string& why) {
  entries.clear();
  std::vector<CacheEntry> read;
  if (text.empty()) return Fail("the file is empty", 0, why);
  if (text.back() != '\n') return Fail("the file is cut short", 0, why);
  ForwardLines line(text);
  std::string rest;
  if (!StartsWith(line(0), kHeader, rest)) return Fail("the file is not a description cache", 0, why);
  int64_t format = 0;
  if (!Number(rest, format)) return Fail("the file is not a description cache", 0, why);
  if (format != kCacheFormat) {
    return Fail("the file is of format " + rest + ", not " + std::to_string(kCacheFormat), 0, why);
  }
  std::size_t i = 1;
  while (line.Has(i) && line(i) == "entry") {
    CacheEntry entry;
    ++i;
    if (!StartsWith(line(i), "call ", rest) || rest.empty() || !WellEscaped(rest)) {
      return Fail("an entry without its call", i + 1, why);
    }
    entry.key = line(i++) + "\n";
    if (StartsWith(line(i), "folder ", rest)) {
      if (rest.empty() || !WellEscaped(rest)) return Fail("a folder line that does not read", i + 1, why);
      entry.key += line(i++) + "\n";
    }
    while (StartsWith(line(i), "file ", rest)) {
      int64_t numbers[5];
      std::string path;
      if (!Numbers(rest, numbers, 5, &path) || numbers[0] < 0 || !WellEscaped(path)) {
        return Fail("a file line that does not read", i + 1, why);
      }
      FileState file;
      file.size = numbers[0];
      file.modified = numbers[1];
      file.changed = numbers[2];
      file.volume = numbers[3];
      file.id = numbers[4];
      file.path = Unescape(path);
      entry.files.push_back(std::move(file));
      ++i;
    }
    if (!StartsWith(line(i), "description ", rest) || !Numbers(rest, entry.description.fields, 11, nullptr)) {
      return Fail("an entry without its description", i + 1, why);
    }
    if (!Describable(entry.description)) return Fail("a description no clip has", i + 1, why);
    ++i;
    if (!StartsWith(line(i), "module ", rest) || rest.empty() || !WellEscaped(rest)) {
      return Fail("an entry without its module version", i + 1, why);
    }
    entry.module = rest;
    ++i;
    if (line(i) != "checked 0" && line(i) != "checked 1") return Fail("an entry without its check", i + 1, why);
    entry.checked = line(i++) == "checked 1";
    if (line(i) != "end") return Fail("an entry that does not end", i + 1, why);
    ++i;
    read.push_back(std::move(entry));
  }
  int64_t count = -1;
  const std::string last = line(i);
  if (line.Has(i + 1) || !StartsWith(last, "entries ", rest) || !Number(rest, count) ||
      count != static_cast<int64_t>(read.size())) {
    return Fail("the file is cut short or has lines of another program", i + 1, why);
  }
  entries = std::move(read);
  return true;
}
