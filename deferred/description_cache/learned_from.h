// What a part's description is made from, gathered while a filter learns it:
// the files its call names, the files its opening held open once its
// function returned, and the script that made the call. Where that cannot
// be told, the description is not kept: a later load could not see that it
// no longer holds.
#pragma once

#include <string>
#include <vector>

#include "deferred/description_cache/file_state.h"
#include "deferred/turns/working_folder.h"
#include "plugin/avisynth_interface.h"

class LearnedFrom {
 public:
  // For a call of `functionName` made now through `env`, naming `named`;
  // `call` is its whole text.
  LearnedFrom(IScriptEnvironment* env, const char* functionName, const Folder* folder, std::vector<FileState> named,
              const std::string& call);

  // What an opening of the call opened; `attributed` false when the opening
  // ran beside another, or this system cannot list open files.
  void Opened(bool attributed, std::vector<FileState> files);

  // Every file the description is made from; false, with `why`, when what
  // it is made from cannot be told.
  bool Files(std::vector<FileState>& files, std::string& why) const;

 private:
  std::vector<FileState> named_;
  bool hasScript_ = false;
  FileState script_;
  bool scriptFunction_ = true;
  std::string unseen_;  // why no file shows what the function reads
  bool attributed_ = false;
  std::vector<FileState> opened_;
};
