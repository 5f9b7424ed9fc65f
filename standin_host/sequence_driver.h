// Drives the loaded module with a sequence of steps decoded from a byte
// string (for the fuzzer, or for a seeded random test), and checks after every
// step that the module did what a script may rely on:
//   - a filter holds its wrapped clip exactly while a reference model of the
//     list of open filters says it is open, the model following the rules for
//     the limit, the order of openings and nesting;
//   - every frame and audio request returns its own source's data, or the
//     error of the call that failed;
//   - once every reference is dropped, every clip, value and frame the host
//     made has been released exactly once.
//
// The step kinds: create a filter (with or without a template, with
// `parameters` trees of ints, strings, clips, undefined values and nested
// arrays, and names that are empty, start with "!" or "!!", or are not
// strings); set the limit; ask for frames, audio and parity; drop a
// reference. The function the filters wrap reads the byte string too, and
// sometimes fails, returns a value that is not a clip or a clip of another
// shape than the filter advertises, creates a nested filter, asks another
// filter for frames, or drops another filter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "script_environment.h"
#include "source_clip.h"

struct SequenceResult {
  int steps = 0;
  std::string failure;  // empty when every check held
};

class SequenceDriver {
 public:
  // `env` has the module loaded; the driver registers its own function "Src".
  explicit SequenceDriver(ScriptEnvironment& env);

  SequenceResult Run(const uint8_t* data, std::size_t size, int maxSteps);

 private:
  enum class Outcome { NotRun, Clip, Threw, NotAClip, Misshapen, Nested };

  struct Filter {
    PClip clip;          // the driver's own reference; empty once dropped
    bool alive = false;  // the filter exists
    bool open = false;   // the model: in the list of open filters
    bool opening = false;
    bool hasTemplate = false;
    int inUse = 0;  // references held by requests still running
  };

  struct Opening {
    int slot;
    Outcome outcome;
  };

  uint8_t Next();
  bool Exhausted() const { return at_ >= size_; }

  void Step();
  void CreateFilter(bool nested);
  AVSValue Parameters(int slot, bool nested);
  AVSValue Element(int depth);
  void Request(int slot, int kind);
  void Parity(int slot);
  void SetLimit();
  void Drop(int slot);
  AVSValue Body(const AVSValue& args, IScriptEnvironment* env);

  // The model of the list of open filters.
  void MakeRoom();
  void BeginOpening(int slot);
  void Append(int slot);
  void Destroyed(int slot);

  // Where a failed opening's error was raised: making a filter without a
  // template, a request, or a request made by the filter's own call.
  enum class Raised { AtConstruction, AtRequest, Reentrant };
  // Checks the error a failed opening raised against what its call did.
  void CheckError(const Opening& opening, const std::exception& error, Raised raised);
  void CheckState();
  void Fail(const std::string& what);
  int PickSlot();

  ScriptEnvironment& env_;
  PClip template_;
  const uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t at_ = 0;
  std::vector<Filter> filters_;
  std::deque<SourceStats> sources_;  // the wrapped clips of each filter slot
  std::deque<int> openOrder_;        // oldest first
  int32_t limit_ = 4;
  std::vector<Opening> openings_;  // innermost last
  // For the bound on how many are open: the number open when the step
  // began, and the deepest nesting of openings during the step.
  std::size_t openAtStepStart_ = 0;
  std::size_t deepestNesting_ = 0;
  std::string failure_;
};
