// The working folder a filter's function is called in.
//
// While a script loads, the host makes the script's folder the working
// folder (its Import changes it, and changes it back afterwards), so relative
// file names resolve beside the script. A filter calls its function later,
// during a frame or audio request, when the working folder is the client's.
// So each filter records the working folder it was made in, and its function
// is called with that folder made the working folder again.
//
// The working folder is one per process. Only an opening changes it, and
// openings take turns in the whole process (opening_turn.h), so the opening
// that holds the turn alone changes it: only when the recorded folder is not
// the one in force, and back to the one it found when it ends, unless
// somebody else (a script loading in another environment) has changed it
// meanwhile. A nested opening does the same inside the outer one's folder,
// and so does one beside other openings, which the turn lets run only in
// the folder they all need, or beside holders that wait for it and resolve
// nothing until it ends; whichever of them ends first, the last to end puts
// back the folder the first one found.
//
// On Windows the folder is read and set through the wide-character calls,
// as the host's own Import does, so any folder name survives.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

using Folder = std::filesystem::path;

// The working folder now, or null when it cannot be read. While a function
// that an opening called runs on another thread and none on this one, a
// folder other than the one in force when those calls began may be that
// thread's (its opening's folder, or one its function's Import set for a
// moment) or this script's (its own Import may have set the very folder in
// force), and nothing tells which: `inDoubt`, when given, then gets the
// folder in force. Inside a function of this thread's own, beside other
// openings, the folder another opening made the working folder is taken for
// the one this thread's opening found. Filters made one after another in one
// folder share one copy of its name.
std::shared_ptr<const Folder> RecordWorkingFolder(Folder* inDoubt = nullptr);

// Whether `a` and `b` name one folder, as the system wrote them.
bool SameFolder(const Folder& a, const Folder& b);
// Whether `folder` is the working folder now.
bool WorkingFolderIs(const Folder& folder);

// For the length of an opening's call of its function, by the thread that
// makes it: `folder` made the working folder when it is not already, and the
// thread counted among those inside a function.
class InWorkingFolder {
 public:
  // Null `folder`: nothing changes. ok() tells whether the folder is in
  // force; when not, `reason` says why.
  InWorkingFolder(const Folder* folder, std::string& reason);
  ~InWorkingFolder();
  InWorkingFolder(const InWorkingFolder&) = delete;
  InWorkingFolder& operator=(const InWorkingFolder&) = delete;

  bool ok() const { return ok_; }

 private:
  bool ok_ = true;
  bool changed_ = false;  // then the change is on the record, to be undone
};
