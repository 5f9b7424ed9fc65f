#include "sequence_driver.h"

#include <algorithm>
#include <climits>

#include "host_counters.h"
#include "source_clip.h"
#include "video_frame.h"

namespace {

constexpr const char* kOpenFailed = "DorvelFilter: Clip could not be opened";
constexpr const char* kNotFoundAtRequest = "DorvelFilter: Invalid arguments to function 'Src'";
constexpr const char* kMisshapen = "DorvelFilter: Src made ";
// Templates and sources share a shape and a length; their frame rates, which
// openings leave unchecked, tell which of the two a filter advertises.
constexpr unsigned kTemplateRate = 30;
constexpr unsigned kSourceRate = 25;

enum class Form { Template, Source, OtherSize, OtherChannels };

SourceSettings Shape(Form form, SourceStats* stats) {
  SourceSettings settings;
  settings.vi.width = form == Form::OtherSize ? 48 : 32;
  settings.vi.height = 4;
  settings.vi.num_frames = 1000;
  settings.vi.fps_numerator = form == Form::Template ? kTemplateRate : kSourceRate;
  settings.vi.fps_denominator = 1;
  if (form == Form::OtherChannels) settings.vi.nchannels = 2;
  settings.stats = stats;
  return settings;
}

}  // namespace

SequenceDriver::SequenceDriver(ScriptEnvironment& env)
    : env_(env), template_(new SourceClip(-1, Shape(Form::Template, nullptr))) {
  env_.AddFunction("Src", "[id]i[a].[b].[c].[d].",
                   [this](const AVSValue& args, IScriptEnvironment* callEnv) { return Body(args, callEnv); });
}

uint8_t SequenceDriver::Next() { return Exhausted() ? 0 : data_[at_++]; }

void SequenceDriver::Fail(const std::string& what) {
  if (failure_.empty()) failure_ = what;
}

int SequenceDriver::PickSlot() {
  if (filters_.empty()) return -1;
  return static_cast<int>(Next() % filters_.size());
}

SequenceResult SequenceDriver::Run(const uint8_t* data, std::size_t size, int maxSteps) {
  data_ = data;
  size_ = size;
  at_ = 0;
  filters_.clear();
  sources_.clear();
  openOrder_.clear();
  openings_.clear();
  failure_.clear();
  const HostCounters& counters = hostCounters();
  const long valuesBefore = counters.liveValues;
  const long arraysBefore = counters.liveArrays;
  const long framesBefore = counters.liveFrames;
  const long doubleBefore = counters.doubleReleases;
  const long overBefore = counters.overReleases;
  limit_ = 4;
  env_.Call("DorvelFilterLimit", {AVSValue(limit_)});

  SequenceResult result;
  while (result.steps < maxSteps && !Exhausted() && failure_.empty()) {
    openAtStepStart_ = openOrder_.size();
    deepestNesting_ = 0;
    Step();
    ++result.steps;
    if (failure_.empty()) CheckState();
  }
  for (std::size_t slot = 0; slot < filters_.size(); ++slot) Drop(static_cast<int>(slot));
  CheckState();
  if (counters.liveValues != valuesBefore)
    Fail("script values left unreleased: " + std::to_string(counters.liveValues - valuesBefore));
  if (counters.liveArrays != arraysBefore) Fail("array storage left unreleased");
  if (counters.liveFrames != framesBefore) Fail("frames left unreleased");
  if (counters.doubleReleases != doubleBefore) Fail("a value or frame was released twice");
  if (counters.overReleases != overBefore) Fail("a clip reference was dropped once too often");
  env_.Call("DorvelFilterLimit", {AVSValue(4)});
  result.failure = failure_;
  return result;
}

void SequenceDriver::Step() {
  try {
    switch (Next() % 10) {
      case 0:
      case 1:
        CreateFilter(false);
        break;
      case 2:
      case 3:
      case 4:
        Request(PickSlot(), 0);
        break;
      case 5:
        Request(PickSlot(), 1);
        break;
      case 6:
        Parity(PickSlot());
        break;
      case 7:
        SetLimit();
        break;
      case 8:
        Drop(PickSlot());
        break;
      default: {
        const int slot = PickSlot();
        if (slot < 0 || !filters_[static_cast<std::size_t>(slot)].clip) break;
        const Filter& filter = filters_[static_cast<std::size_t>(slot)];
        const unsigned rate = filter.clip->GetVideoInfo().fps_numerator;
        if (rate != (filter.hasTemplate ? kTemplateRate : kSourceRate))
          Fail("a filter advertises the wrong description");
        if (filter.clip->SetCacheHints(Next(), Next()) != 0) Fail("SetCacheHints answered other than 0");
        if (filter.clip->GetVersion() != 11) Fail("GetVersion answered other than 11");
        break;
      }
    }
  } catch (const AvisynthError&) {
    // Checked where it was raised.
  } catch (const FunctionNotFound&) {
  } catch (const std::exception& error) {
    Fail(std::string("an error of an unexpected kind: ") + error.what());
  }
}

AVSValue SequenceDriver::Element(int depth) {
  static const char* const kStrings[] = {"", "a", "!", "!b", "!!c", "id", "zz"};
  static const char* const kNames[] = {"", "!", "!a", "!!a", "a", "b", "zz", "id"};
  const int kind = Next() % 8;
  if (depth >= 2 && kind >= 4 && kind <= 6) return AVSValue(static_cast<int>(Next()));
  switch (kind) {
    case 0:
      return AVSValue(static_cast<int>(Next()) - 128);
    case 1:
      return AVSValue(kStrings[Next() % 7]);
    case 2:
      return AVSValue(template_);
    case 3:
      return AVSValue();
    case 4: {
      std::vector<AVSValue> elements;
      const int count = Next() % 5;
      for (int i = 0; i < count; ++i) elements.push_back(Element(depth + 1));
      return ArrayOf(elements);
    }
    case 5:
      return ArrayOf({AVSValue(kNames[Next() % 8]), Element(depth + 1)});
    case 6:
      return ArrayOf({AVSValue(static_cast<int>(Next())), Element(depth + 1)});
    default:
      return AVSValue(static_cast<int>(Next()));
  }
}

AVSValue SequenceDriver::Parameters(int slot, bool nested) {
  const int form = nested ? 2 : Next() % 16;
  if (form == 0) return AVSValue();  // not given: the function gets one undefined argument
  if (form == 1) return ArrayOf({});
  std::vector<AVSValue> elements;
  elements.push_back(form < 9 ? AVSValue(slot) : ArrayOf({AVSValue("id"), AVSValue(slot)}));
  const int extra = nested || Next() % 4 != 0 ? 0 : 1 + Next() % 3;
  for (int i = 0; i < extra; ++i) elements.push_back(Element(0));
  return ArrayOf(elements);
}

void SequenceDriver::CreateFilter(bool nested) {
  const int slot = static_cast<int>(filters_.size());
  filters_.emplace_back();
  sources_.emplace_back();
  const bool withTemplate = !nested && Next() % 2 == 0;
  const AVSValue parameters = Parameters(slot, nested);
  if (withTemplate) {
    PClip clip;
    try {
      clip = CallDorvelFilter(env_, "Src", parameters, template_).AsClip();
    } catch (const std::exception& error) {
      Fail(std::string("creating a filter with a template failed: ") + error.what());
      throw;
    }
    Filter& filter = filters_[static_cast<std::size_t>(slot)];
    filter.clip = clip;
    filter.alive = true;
    filter.hasTemplate = true;
    return;
  }

  BeginOpening(slot);
  PClip clip;
  try {
    clip = CallDorvelFilter(env_, "Src", parameters).AsClip();
  } catch (const std::exception& error) {
    const Opening opening = openings_.back();
    openings_.pop_back();
    filters_[static_cast<std::size_t>(slot)].opening = false;
    CheckError(opening, error, Raised::AtConstruction);
    throw;
  }
  const Opening opening = openings_.back();
  openings_.pop_back();
  Filter& filter = filters_[static_cast<std::size_t>(slot)];
  filter.opening = false;
  if (opening.outcome != Outcome::Clip) Fail("a filter was made although its call gave no clip");
  filter.clip = clip;
  filter.alive = true;
  Append(slot);
}

void SequenceDriver::Request(int slot, int kind) {
  if (slot < 0 || !filters_[static_cast<std::size_t>(slot)].clip) return;
  const auto index = static_cast<std::size_t>(slot);
  PClip hold = filters_[index].clip;
  ++filters_[index].inUse;
  auto release = [&] {
    hold = PClip();
    Filter& filter = filters_[index];
    if (--filter.inUse == 0 && !filter.clip && filter.alive) Destroyed(slot);
  };
  const bool reentrant = filters_[index].opening;
  const bool opens = !reentrant && !filters_[index].open;
  if (opens) BeginOpening(slot);
  const int n = Next();
  bool right = true;
  try {
    if (kind == 0) {
      const PVideoFrame frame = hold->GetFrame(n, &env_);
      right = frame && frame->source() == slot && frame->number() == n;
    } else {
      int16_t samples[8];
      std::fill_n(samples, 8, static_cast<int16_t>(-1));
      hold->GetAudio(samples, n, 8, &env_);
      right =
          std::all_of(samples, samples + 8, [slot](int16_t sample) { return sample == static_cast<int16_t>(slot); });
    }
  } catch (const std::exception& error) {
    if (opens) {
      const Opening opening = openings_.back();
      openings_.pop_back();
      filters_[index].opening = false;
      CheckError(opening, error, Raised::AtRequest);
    } else if (reentrant) {
      CheckError({slot, Outcome::NotRun}, error, Raised::Reentrant);
    } else {
      Fail("a request to an open filter failed: " + std::string(error.what()));
    }
    release();
    throw;
  }
  if (reentrant) Fail("a filter asked for itself while opening gave an answer");
  if (opens) {
    const Opening opening = openings_.back();
    openings_.pop_back();
    filters_[index].opening = false;
    if (opening.outcome != Outcome::Clip) Fail("a request succeeded although the filter's call gave no clip");
    Append(slot);
  }
  if (!right) Fail("filter " + std::to_string(slot) + " answered with another source's data");
  release();
}

void SequenceDriver::Parity(int slot) {
  if (slot < 0 || !filters_[static_cast<std::size_t>(slot)].clip) return;
  const Filter& filter = filters_[static_cast<std::size_t>(slot)];
  if (filter.clip->GetParity(0) != filter.open) {
    Fail("parity of filter " + std::to_string(slot) + (filter.open ? " (open) was false" : " (closed) was true"));
  }
}

void SequenceDriver::SetLimit() {
  static const int32_t kLimits[] = {0, 1, 2, 3, 4, 5, -1, INT_MIN, INT_MAX};
  const int32_t limit = kLimits[Next() % 9];
  const AVSValue answer = env_.Call("DorvelFilterLimit", {AVSValue(limit)});
  if (!answer.IsInt() || answer.AsInt() != limit) Fail("DorvelFilterLimit did not answer the limit it set");
  limit_ = limit;
}

void SequenceDriver::Drop(int slot) {
  if (slot < 0 || !filters_[static_cast<std::size_t>(slot)].clip) return;
  filters_[static_cast<std::size_t>(slot)].clip = PClip();
  const Filter& filter = filters_[static_cast<std::size_t>(slot)];
  if (filter.inUse == 0) Destroyed(slot);
}

AVSValue SequenceDriver::Body(const AVSValue& args, IScriptEnvironment* env) {
  if (openings_.empty()) {
    Fail("the wrapped function ran outside any opening");
    env->ThrowError("Src: unexpected call");
  }
  const std::size_t me = openings_.size() - 1;
  if (!args[0].Defined()) {
    openings_[me].outcome = Outcome::Threw;
    env->ThrowError("Src: no id");
  }
  const int slot = args[0].AsInt();
  if (slot != openings_[me].slot) {
    Fail("the wrapped function was called for filter " + std::to_string(slot) + " while filter " +
         std::to_string(openings_[me].slot) + " was opening");
  }
  const bool mayNest = openings_.size() < 4;
  switch (Next() % 10) {
    case 0:
      openings_[me].outcome = Outcome::Threw;
      env->ThrowError("Src: failed %d", slot);
      break;
    case 1:
      openings_[me].outcome = Outcome::NotAClip;
      return AVSValue(slot);
    case 2:
      openings_[me].outcome = Outcome::Nested;
      if (mayNest) CreateFilter(true);
      break;
    case 3:
      openings_[me].outcome = Outcome::Nested;
      if (mayNest) Request(PickSlot(), 0);
      break;
    case 4:
      Drop(PickSlot());
      break;
    case 5:
      // A clip of another shape than the filter advertises, once it has a
      // description: from its template, or from its first opening.
      if (filters_[static_cast<std::size_t>(slot)].alive) {
        openings_[me].outcome = Outcome::Misshapen;
        const Form form = Next() % 2 == 0 ? Form::OtherSize : Form::OtherChannels;
        return AVSValue(new SourceClip(slot, Shape(form, &sources_[static_cast<std::size_t>(slot)])));
      }
      break;
    default:
      break;
  }
  openings_[me].outcome = Outcome::Clip;
  return AVSValue(new SourceClip(slot, Shape(Form::Source, &sources_[static_cast<std::size_t>(slot)])));
}

void SequenceDriver::MakeRoom() {
  if (openOrder_.empty()) return;
  if (static_cast<uint32_t>(openOrder_.size()) < static_cast<uint32_t>(limit_)) return;
  filters_[static_cast<std::size_t>(openOrder_.front())].open = false;
  openOrder_.pop_front();
}

void SequenceDriver::BeginOpening(int slot) {
  MakeRoom();
  filters_[static_cast<std::size_t>(slot)].opening = true;
  openings_.push_back({slot, Outcome::NotRun});
  deepestNesting_ = std::max(deepestNesting_, openings_.size());
}

void SequenceDriver::Append(int slot) {
  openOrder_.push_back(slot);
  filters_[static_cast<std::size_t>(slot)].open = true;
  // An opening makes room for itself, so on its own it never takes the
  // number open above the limit (0 acting as 1), or above where it was when
  // the limit was lowered; each level of nesting may add one.
  const uint64_t limit = std::max<uint32_t>(static_cast<uint32_t>(limit_), 1);
  const uint64_t bound = std::max<uint64_t>(openAtStepStart_, limit) + deepestNesting_ - 1;
  if (openOrder_.size() > bound) {
    Fail(std::to_string(openOrder_.size()) + " filters open, more than the limit and nesting allow (" +
         std::to_string(bound) + ")");
  }
}

void SequenceDriver::Destroyed(int slot) {
  Filter& filter = filters_[static_cast<std::size_t>(slot)];
  filter.alive = false;
  if (filter.open) {
    openOrder_.erase(std::find(openOrder_.begin(), openOrder_.end(), slot));
    filter.open = false;
  }
}

void SequenceDriver::CheckError(const Opening& opening, const std::exception& error, Raised raised) {
  const bool scriptError = dynamic_cast<const AvisynthError*>(&error) != nullptr;
  const bool notFound = dynamic_cast<const FunctionNotFound*>(&error) != nullptr;
  const std::string message = error.what();
  // The module's own messages end with the call they are about.
  const auto aboutSrc = [&message](const char* start) {
    const std::string head = start;
    return message.rfind(head + " (in Src(", 0) == 0 && message.back() == ')';
  };
  bool expected = false;
  if (raised == Raised::Reentrant) {
    expected = scriptError && aboutSrc(kOpenFailed);
  } else {
    switch (opening.outcome) {
      case Outcome::NotRun:
        // Inside a script the host reports the not-found signal itself; a
        // request has no script around it, so the module reports it.
        expected = raised == Raised::AtConstruction ? notFound : scriptError && aboutSrc(kNotFoundAtRequest);
        break;
      case Outcome::Threw:
        expected = scriptError && message.rfind("Src: ", 0) == 0;
        break;
      case Outcome::NotAClip:
        expected = scriptError && aboutSrc(kOpenFailed);
        break;
      case Outcome::Misshapen:
        expected = scriptError && message.rfind(kMisshapen, 0) == 0 && message.find(" (in Src(") != std::string::npos;
        break;
      case Outcome::Nested:
        expected = scriptError || notFound;
        break;
      case Outcome::Clip:
        expected = false;
        break;
    }
  }
  if (!expected) Fail("opening filter " + std::to_string(opening.slot) + " raised an unexpected error: " + message);
}

void SequenceDriver::CheckState() {
  for (std::size_t slot = 0; slot < filters_.size(); ++slot) {
    const Filter& filter = filters_[slot];
    const int expected = filter.alive && filter.open ? 1 : 0;
    const int alive = sources_[slot].alive;
    if (alive != expected) {
      Fail("filter " + std::to_string(slot) + " holds " + std::to_string(alive) +
           " wrapped clips; the list's rules say " + std::to_string(expected));
      return;
    }
  }
}
