// The working folder a filter's function is called in.
//
// While a script loads, the host makes the script's folder the working
// folder (its Import changes it, and restores it afterwards), so relative file
// names resolve beside the script. A filter calls its function later, during
// a frame or audio request, when the working folder is the client's. So each
// filter records the working folder it was made in, and its function is
// called with that folder made the working folder again.
//
// The working folder is one per process, and openings run on several threads
// at once. A process-wide lease makes changing it safe: openings that need
// the folder in force share it; one that needs another waits until no
// opening relies on the one in force, and then changes it; the last to end
// restores the folder that was in force before. A thread that holds the lease
// and needs another folder for an opening nested in its own does not wait
// for itself: once no other thread relies on the folder, it changes it for
// the nested opening alone and changes it back when that ends. A wait that
// would never end (the holders wait, in the end, for the waiting thread) is
// refused. No mutex is held while a function is called.
//
// On Windows the folder is read and set through the wide-character calls,
// as the host's own Import does, so any folder name survives.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

using Folder = std::filesystem::path;

// The working folder now, or null when it cannot be read; while openings on
// other threads have changed it, the folder in force before they did. Filters
// made one after another in one folder share one copy of its name.
std::shared_ptr<const Folder> RecordWorkingFolder();

// The calling thread's hold on the working folder.
class FolderLease {
 public:
  enum class Taking {
    Taken,               // `folder` is the working folder until Give
    WouldWaitForItself,  // the openings in another folder wait for this thread
    CannotEnter,         // the folder could not be made the working folder
  };

  // Makes `folder` the working folder, when it is not already, and holds it
  // there, waiting while openings hold another one. For CannotEnter,
  // `reason` says why.
  static Taking Take(const Folder& folder, std::string& reason);
  // Ends the calling thread's latest Taken hold.
  static void Give();
};
