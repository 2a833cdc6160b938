// Fuzzes the Linux provider's pure text pieces with round-trip properties:
// what decodes must encode back to the same bytes, what parses as a volume
// name must format back to it, and normalised roots are fixed points.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "text.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckUtf8(std::string_view bytes) {
  if (auto utf16 = k32l::utf8_to_utf16(bytes)) {
    auto back = k32l::utf16_to_utf8(*utf16);
    Check(back.has_value() && *back == bytes);
  }
  // Lossy decoding always yields text that encodes.
  Check(k32l::utf16_to_utf8(k32l::utf8_to_utf16_lossy(bytes)).has_value());
}

void CheckUtf16(std::u16string_view units) {
  if (auto utf8 = k32l::utf16_to_utf8(units)) {
    auto back = k32l::utf8_to_utf16(*utf8);
    Check(back.has_value() && *back == units);
  }
}

void CheckVolumeName(std::string_view text) {
  for (bool require_backslash : {false, true}) {
    const k32l::ParsedName parsed = k32l::parse_volume_name(text, require_backslash);
    if (parsed.status != k32l::NameParse::Ok) continue;
    Check(k32l::is_valid_volume_id(parsed.id));
    const std::string formatted = k32l::format_volume_name(parsed.id);
    const k32l::ParsedName again = k32l::parse_volume_name(formatted, true);
    Check(again.status == k32l::NameParse::Ok && again.id == parsed.id);
    Check(k32l::same_volume_id(again.id, parsed.id));
  }
}

void CheckRoot(std::string_view text) {
  const auto root = k32l::normalise_root(text);
  if (!root) return;
  Check(!root->empty() && root->front() == '/');
  Check(k32l::path_is_under(*root, "/"));
  Check(k32l::path_is_under(*root, *root));
  if (root->back() != '\\') Check(k32l::normalise_root(*root) == root);
}

void CheckMultiString(std::u16string_view units) {
  // Items are the NUL-free runs of the input.
  std::vector<std::u16string> items;
  std::u16string current;
  for (char16_t unit : units) {
    if (unit == 0) {
      if (!current.empty()) items.push_back(current);
      current.clear();
    } else {
      current.push_back(unit);
    }
  }
  if (!current.empty()) items.push_back(current);
  const std::u16string multi = k32l::build_multi_string(items);
  std::size_t expected = 1;
  for (const auto& item : items) expected += item.size() + 1;
  Check(multi.size() == expected && multi.back() == 0);
  // Copied with its terminator only when the buffer holds both.
  std::vector<WCHAR> buffer(multi.size() + 1, u'x');
  Check(!k32l::copy_terminated(multi, buffer.data(), multi.size()));
  Check(k32l::copy_terminated(multi, buffer.data(), buffer.size()));
  Check(std::u16string_view(buffer.data(), multi.size()) == multi && buffer.back() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckUtf8(bytes);
  CheckVolumeName(bytes);
  CheckRoot(bytes);
  std::u16string units(size / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  CheckUtf16(units);
  CheckMultiString(units);
  return 0;
}
