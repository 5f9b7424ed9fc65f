#include "working_folder.h"

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "deferred/process_wide.h"

namespace {

// The folders openings changed and have not changed back, the outermost
// first: made by the thread that holds the turn to open, or by threads that
// opened beside it (opening_turn.h).
struct Changes {
  std::mutex mutex;
  struct Change {
    std::thread::id thread;
    Folder found;
    Folder set;
  };
  std::vector<Change> stack;
  // The threads inside a function that an opening calls, once for each call
  // they are in: any of them may move the working folder (the host's Import
  // does, for as long as it reads a script) without the module seeing it.
  std::vector<std::thread::id> calling;
  // The working folder when the first of those calls began, or empty when
  // it could not be read.
  Folder base;
};

Changes& changes() { return ProcessWide<Changes>(); }

// The folder found last, shared by the filters made there.
struct LastFolder {
  std::mutex mutex;
  std::shared_ptr<const Folder> folder;
};

}  // namespace

bool SameFolder(const Folder& a, const Folder& b) { return a.native() == b.native(); }

bool WorkingFolderIs(const Folder& folder) {
  std::error_code error;
  const Folder now = std::filesystem::current_path(error);
  return !error && SameFolder(now, folder);
}

std::shared_ptr<const Folder> RecordWorkingFolder(Folder* inDoubt) {
  Folder now;
  {
    Changes& c = changes();
    std::lock_guard<std::mutex> lock(c.mutex);
    std::error_code error;
    now = std::filesystem::current_path(error);
    if (error) return nullptr;
    const std::thread::id self = std::this_thread::get_id();
    const bool selfCalling = std::find(c.calling.begin(), c.calling.end(), self) != c.calling.end();
    const bool othersCalling = std::any_of(c.calling.begin(), c.calling.end(),
                                           [self](std::thread::id thread) { return thread != self; });
    if (!selfCalling && othersCalling) {
      // The folder in force before those calls began is this script's. Any
      // other may be this script's (its Import set it, perhaps to the
      // folder that was in force already) or another thread's (its opening,
      // or an Import inside its function), and nothing tells which.
      if (inDoubt != nullptr && !SameFolder(now, c.base)) *inDoubt = now;
    } else if (!c.stack.empty() && c.stack.back().thread != self && SameFolder(now, c.stack.back().set)) {
      // Inside a function of this thread's own, beside other openings: the
      // folder another opening made the working folder is that opening's.
      // One that somebody else set meanwhile (a script loading here) stays.
      // A thread whose own opening changed it earlier has that folder.
      const auto own = std::find_if(c.stack.rbegin(), c.stack.rend(),
                                    [self](const Changes::Change& change) { return change.thread == self; });
      now = own != c.stack.rend() ? own->set : c.stack.front().found;
    }
  }
  LastFolder& last = ProcessWide<LastFolder>();
  std::lock_guard<std::mutex> lock(last.mutex);
  if (!last.folder || !SameFolder(*last.folder, now)) last.folder = std::make_shared<const Folder>(std::move(now));
  return last.folder;
}

InWorkingFolder::InWorkingFolder(const Folder* folder, std::string& reason) {
  Changes& c = changes();
  std::lock_guard<std::mutex> lock(c.mutex);
  std::error_code error;
  Folder now = std::filesystem::current_path(error);
  if (c.calling.empty()) c.base = error ? Folder() : now;
  c.calling.push_back(std::this_thread::get_id());
  if (folder == nullptr) return;
  if (!error && SameFolder(now, *folder)) {
    // In force already, but perhaps by an opening on another thread, which
    // may end first and put its own folder back: this one is then put back
    // when this opening ends.
    changed_ = std::any_of(c.stack.begin(), c.stack.end(),
                           [](const Changes::Change& change) { return change.thread != std::this_thread::get_id(); });
    if (changed_) c.stack.push_back({std::this_thread::get_id(), now, now});
    return;
  }
  std::filesystem::current_path(*folder, error);
  if (error) {
    reason = error.message();
    ok_ = false;
    return;
  }
  // A working folder that could not be read is not put back: there is
  // nothing to put back.
  changed_ = !now.empty();
  if (!changed_) return;
  c.stack.push_back({std::this_thread::get_id(), std::move(now), *folder});
}

InWorkingFolder::~InWorkingFolder() {
  Changes& c = changes();
  std::lock_guard<std::mutex> lock(c.mutex);
  const std::thread::id self = std::this_thread::get_id();
  c.calling.erase(std::find(c.calling.begin(), c.calling.end(), self));
  if (!changed_) return;
  std::size_t mine = c.stack.size();
  while (mine > 0 && c.stack[mine - 1].thread != self) --mine;
  if (mine == 0) return;
  --mine;
  const Folder found = std::move(c.stack[mine].found);
  const Folder set = std::move(c.stack[mine].set);
  c.stack.erase(c.stack.begin() + static_cast<std::ptrdiff_t>(mine));
  if (mine < c.stack.size()) {
    // An opening beside this one changed the folder after this one did: it
    // puts back the folder this one found when it ends.
    c.stack[mine].found = found;
    return;
  }
  std::error_code error;
  const Folder now = std::filesystem::current_path(error);
  // Changed meanwhile by somebody else: theirs stays in force.
  if (!error && SameFolder(now, set)) std::filesystem::current_path(found, error);
}
