// What a part's description is made from, gathered while a filter learns it:
// the files its call names, the files its opening held open once its
// function returned, and the script that made the call. Where that cannot
// be told, the description is not kept: a later load could not see that it
// no longer holds.
#pragma once

#include <string>
#include <vector>

#include "deferred/description_cache/made_from/file_state.h"
#include "deferred/description_cache/made_from/open_files.h"
#include "deferred/turns/working_folder.h"
#include "plugin/avisynth_interface.h"

class LearnedFrom {
 public:
  // For a call of `functionName` made now through `env`, naming `named`;
  // `call` is its whole text.
  LearnedFrom(IScriptEnvironment* env, const char* functionName, const Folder* folder, std::vector<FileState> named,
              const std::string& call);

  // What a watch of an opening of the call told.
  void Opened(Watched watched, std::vector<FileState> files);

  // Every file the description is made from; false, with `why`, when what
  // it is made from cannot be told.
  bool Files(std::vector<FileState>& files, std::string& why) const;

  // Whether an entry found for the call may stand for this part: a part
  // that runs a script's text (its functions, or the text it is given) is
  // made from the calling script, so an entry learned from another script
  // sharing the cache, whose files are all unchanged, is not its own.
  bool Fits(const std::vector<FileState>& entryFiles) const;

  // Whether nothing could be told because this system does not tell which
  // files a process holds open: so for every part, which is said once.
  bool SystemDoesNotTell() const { return watched_ == Watched::Unlistable; }

 private:
  std::vector<FileState> named_;
  // Where the call's relative names are taken, and the calling script's
  // folder: a link there may name a file the opening held.
  std::vector<Folder> linkFolders_;
  bool hasScript_ = false;
  FileState script_;
  bool scriptFunction_ = true;
  bool runsScript_ = false;
  std::string unseen_;  // why no file shows what the function reads
  Watched watched_ = Watched::NotWatched;
  std::vector<FileState> opened_;
};
