// The regular files this process holds open for reading, each with its
// state (file_state.h). A call's opening holds its source's files open while
// its clip lives: the files open after the call and not before are those it
// opened, provided no other opening ran meanwhile. Files opened only for
// writing (a log) are left out: what a clip is made from is read.
#pragma once

#include <vector>

#include "deferred/description_cache/made_from/file_state.h"

struct HeldFile {
  long long handle;   // the descriptor, or the handle's value
  bool known = true;  // false: a file whose state this system does not tell
  FileState state;
};

// False when this system gives no such list, or gives one that leaves out a
// file this process opened itself to see: then nothing can be told of what
// an opening opened.
bool ListOpenFiles(std::vector<HeldFile>& files);

// What a watch tells of an opening.
enum class Watched {
  Told,         // the files it opened
  NotWatched,   // it ran beside another opening, or was not watched
  Unlistable,   // this system does not tell which files a process holds
  UnknownFile,  // it opened a file whose identity this system does not tell
};

// The files of `after` that `before` did not hold, each file once; false
// when one of them is a file whose state is not known.
bool NewlyOpened(const std::vector<HeldFile>& before, const std::vector<HeldFile>& after,
                 std::vector<FileState>& opened);

// The files a call opens: those open at construction are listed when
// `watch`; Opened() lists them again and answers the new ones.
class OpeningWatch {
 public:
  explicit OpeningWatch(bool watch);
  Watched Opened(std::vector<FileState>& files) const;

 private:
  std::vector<HeldFile> before_;
  Watched watched_;
};
