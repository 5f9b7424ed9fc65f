// The regular files this process holds open for reading, each with its
// state (file_state.h). A call's opening holds its source's files open while
// its clip lives: the files open after the call and not before are those it
// opened, provided no other opening ran meanwhile. Files opened only for
// writing (a log) are left out: what a clip is made from is read.
#pragma once

#include <vector>

#include "deferred/description_cache/file_state.h"

struct HeldFile {
  long long handle;  // the descriptor, or the handle's value
  FileState state;
};

// False when this system gives no such list: then nothing can be told of
// what an opening opened.
bool ListOpenFiles(std::vector<HeldFile>& files);

// The files of `after` that `before` did not hold, each file once.
std::vector<FileState> NewlyOpened(const std::vector<HeldFile>& before, const std::vector<HeldFile>& after);

// The files a call opens: those open at construction are listed when
// `watch`; Opened() lists them again and answers the new ones.
class OpeningWatch {
 public:
  explicit OpeningWatch(bool watch) : listed_(watch && ListOpenFiles(before_)) {}
  // False when nothing could be told.
  bool Opened(std::vector<FileState>& files) const;

 private:
  std::vector<HeldFile> before_;
  bool listed_;
};
