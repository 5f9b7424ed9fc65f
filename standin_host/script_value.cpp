// The host's side of script values. As in the real host: a string value
// keeps the pointer it is given; an array keeps its own deep copies of its
// elements; the size of a non-array is 1 and indexing it (or an array out of
// range) answers the value itself; AsClip of a non-clip is an empty handle.
// 64-bit integers and doubles are kept outside the value, as the host does on
// 32-bit targets, so that one way serves every target.
#include <cstring>
#include <new>
#include <utility>

#include "host_counters.h"
#include "plugin/avisynth_interface.h"

namespace {
constexpr short kReleased = 'X';  // marks a value whose release already ran

// Either every copy is made, or none is left behind: an allocation that
// fails part way releases the copies made so far and passes the failure on.
AVSValue* CopyElements(const AVSValue* elements, int count) {
  if (count <= 0) return nullptr;
  auto* copies = static_cast<AVSValue*>(::operator new(sizeof(AVSValue) * static_cast<std::size_t>(count)));
  int made = 0;
  try {
    for (; made < count; ++made) new (&copies[made]) AVSValue(elements[made]);
  } catch (...) {
    while (made > 0) copies[--made].~AVSValue();
    ::operator delete(copies);
    throw;
  }
  hostCounters().liveArrays++;
  return copies;
}

const int64_t* NewWide(int64_t bits) { return new int64_t(bits); }

bool IsWide(short type) { return type == 'l' || type == 'd'; }

void DestroyElements(const AVSValue* elements, int count) {
  if (elements == nullptr) return;
  for (int i = count - 1; i >= 0; --i) elements[i].~AVSValue();
  ::operator delete(const_cast<AVSValue*>(elements));
  hostCounters().liveArrays--;
}
}  // namespace

void AVSValue::hostInitUndefined() {
  type = 'v';
  array_size = 0;
  clip = nullptr;
  hostCounters().liveValues++;
}

void AVSValue::hostInitClipPointer(IClip* pointer) {
  hostInitUndefined();
  type = 'c';
  clip = pointer;
  if (clip != nullptr) clip->hostAddRef();
}

void AVSValue::hostInitClip(const PClip& handle) { hostInitClipPointer(handle.get()); }

void AVSValue::hostInitBool(bool value) {
  hostInitUndefined();
  type = 'b';
  boolean = value;
}

void AVSValue::hostInitInt(int value) {
  hostInitUndefined();
  type = 'i';
  integer = value;
}

void AVSValue::hostInitFloat(float value) {
  hostInitUndefined();
  type = 'f';
  floating_pt = value;
}

void AVSValue::hostInitDouble(double value) {
  int64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const int64_t* stored = NewWide(bits);  // first: it may throw
  hostInitUndefined();
  type = 'd';
  wide = stored;
}

void AVSValue::hostInitString(const char* text) {
  hostInitUndefined();
  type = 's';
  string = text;
}

void AVSValue::hostInitLong(int64_t value) {
  const int64_t* stored = NewWide(value);  // first: it may throw
  hostInitUndefined();
  type = 'l';
  wide = stored;
}

void AVSValue::hostInitArray(const AVSValue* elements, int count) {
  const int size = count > 0 && count <= 0x7fff ? count : 0;
  const AVSValue* copies = CopyElements(elements, size);  // first: it may throw
  hostInitUndefined();
  type = 'a';
  array_size = static_cast<short>(size);
  array = copies;
}

void AVSValue::hostCopy(const AVSValue& other) {
  if (other.type == 'a') {
    hostInitArray(other.array, other.array_size);
  } else if (other.type == 'c') {
    hostInitClipPointer(other.clip);
  } else if (IsWide(other.type)) {
    const int64_t* copy = NewWide(*other.wide);  // first: it may throw
    hostInitUndefined();
    type = other.type;
    wide = copy;
  } else {
    hostInitUndefined();
    type = other.type;
    clip = other.clip;  // the whole union, whichever member it holds
  }
}

void AVSValue::hostRelease() {
  if (type == kReleased) {
    hostCounters().doubleReleases++;
    return;
  }
  if (type == 'c' && clip != nullptr) clip->hostDropRef();
  if (type == 'a') DestroyElements(array, array_size);
  if (IsWide(type)) delete wide;
  type = kReleased;
  hostCounters().liveValues--;
}

AVSValue& AVSValue::hostAssign(const AVSValue& other) {
  if (this == &other) return *this;
  AVSValue incoming(other);  // copied first: `other` may live inside this value
  std::swap(type, incoming.type);
  std::swap(array_size, incoming.array_size);
  std::swap(clip, incoming.clip);  // the whole union
  return *this;                    // `incoming` now releases the old contents
}

const AVSValue& AVSValue::hostIndex(int index) const {
  if (type == 'a' && index >= 0 && index < array_size) return array[index];
  return *this;
}

int AVSValue::hostArraySize() const { return type == 'a' ? array_size : 1; }
bool AVSValue::hostDefined() const { return type != 'v'; }
bool AVSValue::hostIsClip() const { return type == 'c'; }
bool AVSValue::hostIsBool() const { return type == 'b'; }
bool AVSValue::hostIsInt() const { return type == 'i' || type == 'l'; }
bool AVSValue::hostIsFloat() const { return type == 'f' || type == 'd' || hostIsInt(); }
bool AVSValue::hostIsString() const { return type == 's'; }
bool AVSValue::hostIsArray() const { return type == 'a'; }
bool AVSValue::hostIsLong() const { return hostIsInt(); }
bool AVSValue::hostIsStrictFloat() const { return type == 'f' || type == 'd'; }

PClip AVSValue::hostAsClip() const { return type == 'c' ? PClip(clip) : PClip(); }
bool AVSValue::hostAsBool() const { return type == 'b' && boolean; }
const char* AVSValue::hostAsString() const { return type == 's' ? string : nullptr; }

int64_t AVSValue::hostAsLong() const {
  if (type == 'i') return integer;
  if (type == 'l') return *wide;
  return 0;
}

int AVSValue::hostAsInt() const { return static_cast<int>(hostAsLong()); }

double AVSValue::hostAsFloat() const {
  if (type == 'f') return floating_pt;
  if (type == 'd') {
    double value;
    std::memcpy(&value, wide, sizeof value);
    return value;
  }
  return static_cast<double>(hostAsLong());
}

bool AVSValue::hostAsBoolOr(bool fallback) const { return type == 'v' ? fallback : hostAsBool(); }
int AVSValue::hostAsIntOr(int fallback) const { return type == 'v' ? fallback : hostAsInt(); }
double AVSValue::hostAsDoubleOr(double fallback) const { return type == 'v' ? fallback : hostAsFloat(); }
double AVSValue::hostAsFloatOr(float fallback) const { return type == 'v' ? fallback : hostAsFloat(); }
const char* AVSValue::hostAsStringOr(const char* fallback) const { return type == 'v' ? fallback : hostAsString(); }
int64_t AVSValue::hostAsLongOr(int64_t fallback) const { return type == 'v' ? fallback : hostAsLong(); }
