#include "volumes/volume_guid.h"

#include <array>
#include <cstdint>
#include <optional>

#include "pyutil/ascii_text.h"
#include "pyutil/calls.h"
#include "pyutil/py_version.h"
#include "pyutil/unicode_units.h"
#include "volumes/module_state.h"

namespace volumes {

extern const char kVolumeNameGuidPattern[] = R"(\\\\\?\\Volume\{([\w-]+)\}\\)";
static_assert(sizeof kVolumeNameGuidPattern - 1 == 28, "the pattern is 28 characters");

namespace {

using pyutil::OwnedRef;

// [\w-] of a pattern whose \w means ASCII word characters, by ASCII code.
constexpr std::array<bool, 128> kGuidCharacters = [] {
  std::array<bool, 128> table{};
  for (char c = '0'; c <= '9'; ++c) table[c] = true;
  for (char c = 'A'; c <= 'Z'; ++c) table[c] = true;
  for (char c = 'a'; c <= 'z'; ++c) table[c] = true;
  table['_'] = table['-'] = true;
  return table;
}();

bool IsGuidCharacter(std::uint32_t unit) { return unit < 128 && kGuidCharacters[unit]; }

struct GuidSpan {
  Py_ssize_t start;
  Py_ssize_t end;
};

// What kVolumeNameGuidPattern matches, on the units the interpreter stores:
// \\?\Volume{ at the start, one or more [\w-] (group 1), then }\ with
// anything after it. [\w-]+ cannot take the closing brace, so the longest
// run is the only one that can be followed by it: there is nothing to
// backtrack to.
template <typename Unit>
std::optional<GuidSpan> MatchGuid(const Unit* units, Py_ssize_t length) {
  static constexpr char kPrefix[] = "\\\\?\\Volume{";
  constexpr Py_ssize_t kPrefixLength = sizeof kPrefix - 1;
  if (length < kPrefixLength) return std::nullopt;
  for (Py_ssize_t index = 0; index < kPrefixLength; ++index) {
    if (static_cast<std::uint32_t>(units[index]) != static_cast<unsigned char>(kPrefix[index])) {
      return std::nullopt;
    }
  }
  const auto guid_at = [units](Py_ssize_t index) {
    return IsGuidCharacter(static_cast<std::uint32_t>(units[index]));
  };
  // Four characters a bound check, then one by one.
  Py_ssize_t end = kPrefixLength;
  while (end + 4 <= length && guid_at(end) && guid_at(end + 1) && guid_at(end + 2) &&
         guid_at(end + 3)) {
    end += 4;
  }
  while (end < length && guid_at(end)) ++end;
  if (end == kPrefixLength || length - end < 2 || static_cast<std::uint32_t>(units[end]) != '}' ||
      static_cast<std::uint32_t>(units[end + 1]) != '\\') {
    return std::nullopt;
  }
  return GuidSpan{kPrefixLength, end};
}

// Group 1 of the module's own pattern on an exact unicode name, or None:
// the same result as the pattern's match, without the match object and the
// calls of group() and encode().
OwnedRef MatchGuidHere(PyObject* volume_name) {
  const std::optional<GuidSpan> span = pyutil::UnicodeUnits(volume_name).Visit(
      [](const auto* units, Py_ssize_t length) { return MatchGuid(units, length); });
  if (!span) return OwnedRef::Borrow(Py_None);
  return pyutil::NativeStringFromAsciiSlice(volume_name, span->start, span->end);
}

// Group 1 of matcher.match(volume_name) as ASCII native text, or None.
OwnedRef MatchGuidThrough(PyObject* matcher, PyObject* volume_name) {
  const InternedNames& names = State().names;
  OwnedRef match = pyutil::CallMethod(matcher, names.match.get(), volume_name);
  if (!pyutil::RequireStatus(PyObject_IsTrue(match.get()))) return OwnedRef::Borrow(Py_None);
  OwnedRef group_number = pyutil::RequireNew(pyutil::NewInteger(1));
  OwnedRef guid = pyutil::CallMethod(match.get(), names.group.get(), group_number.get());
  return pyutil::NativeStringFromAsciiText(guid.get(), names.encode.get(), names.ascii.get());
}

}  // namespace

OwnedRef GuidOfVolumeName(PyObject* volume_name) {
  const ModuleState& state = State();
  // The module's own pattern, which the engine made and nobody can change,
  // is matched here for an exact unicode name.
  PyObject* own_matcher = PyUnicode_CheckExact(volume_name) ? state.guid_matcher.get() : nullptr;
  return UseModuleAttribute(
      state.names.VOLUME_NAME_GUID_MATCHER.get(), own_matcher,
      [volume_name] { return MatchGuidHere(volume_name); },
      [volume_name](PyObject* matcher) { return MatchGuidThrough(matcher, volume_name); });
}

}  // namespace volumes
