// Text, volume names, paths and caller buffers: pure pieces, no system calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors.h"

namespace k32l {

// ---- text ---------------------------------------------------------------

// Strict conversions: malformed UTF-8 (bad lead or continuation bytes,
// truncated or overlong sequences, encoded surrogates, code points past
// U+10FFFF) and unpaired UTF-16 surrogates give nullopt.
std::optional<std::u16string> utf8_to_utf16(std::string_view utf8);
std::optional<std::string> utf16_to_utf8(std::u16string_view utf16);
// Appends `utf8` to `out` in UTF-16, strictly as utf8_to_utf16 converts it;
// false (and `out` as it was) when it is malformed.
bool append_as_utf16(std::string_view utf8, std::u16string& out);
// For free text such as labels: each malformed byte becomes U+FFFD.
std::u16string utf8_to_utf16_lossy(std::string_view utf8);
// The value of hex digit `c` (either case); -1 for another character.
int hex_digit_value(char c);

// Longest argument text accepted from a caller, in UTF-16 units; Windows'
// own limit for extended-length paths.
constexpr std::size_t kMaxArgumentChars = 32767;
// Reads a caller's NUL-terminated UTF-16 argument; nullopt when it has no
// terminator within kMaxArgumentChars units.
std::optional<std::u16string> read_argument(const WCHAR* text);

// ---- volume names -------------------------------------------------------

// "\\?\Volume{" ID "}\" around an ID made of ASCII letters, digits, '_', '-'.
bool is_valid_volume_id(std::string_view id);
std::string format_volume_name(std::string_view id);
// The same in UTF-16 (the ID is ASCII).
std::u16string wide_volume_name(std::string_view id);

enum class NameParse { NotAVolumeName, Malformed, Ok };
struct ParsedName {
  NameParse status;
  std::string id;  // set when status == Ok
};
// Text starting with "\\?\" is meant as a volume name; the closing
// backslash is optional unless require_trailing_backslash.
ParsedName parse_volume_name(std::string_view text, bool require_trailing_backslash);

// IDs compare like Windows GUIDs: ASCII case-insensitively.
bool same_volume_id(std::string_view a, std::string_view b);
// A hash of `id` as IDs compare: the same for IDs that same_volume_id
// finds the same.
std::size_t volume_id_hash(std::string_view id);

// ID of a volume whose file system has no usable UUID: the whole 64-bit
// device number in the last two GUID groups, so it is stable for as long as
// the file system stays mounted.
std::string device_volume_id(std::uint64_t dev);

// The volume serial number for a device number: a dev_t that fits 32 bits is
// its own serial; a wider one folds its high half onto the low half with XOR.
std::uint32_t serial_from_device(std::uint64_t dev);

// ---- paths ----------------------------------------------------------------

// An absolute path with "//" and "." components collapsed and trailing
// slashes dropped; ".." is kept (only the kernel's walk can tell where it
// leads). Relative or empty text gives nullopt.
std::optional<std::string> normalise_path(std::string_view path);
// A mount root as the module passes it: one trailing backslash dropped (the
// module appends one to every path), then normalise_path.
std::optional<std::string> normalise_root(std::string_view path);

// Whether mount target `target` holds `path` (both normalised, absolute).
bool path_is_under(std::string_view path, std::string_view target);

// Whether a component of `path` is "..".
bool has_dot_dot(std::string_view path);

// `text` with each octal escape ("\040") as the byte it stands for: how the
// kernel escapes the fields of mountinfo and statmount's options.
std::string unescape_octal(std::string_view text);

// ---- caller buffers -------------------------------------------------------

// Each string NUL-terminated, then one more NUL; no strings gives one NUL.
std::u16string build_multi_string(const std::vector<std::u16string>& items);
// The same of UTF-8 strings, each in UTF-16; strings that are not valid
// UTF-8 are left out.
std::u16string multi_string_of(const std::vector<std::string>& items);

// Copies `text` plus its NUL when `capacity` (in units) holds both.
bool copy_terminated(std::u16string_view text, WCHAR* buffer, std::size_t capacity);

}  // namespace k32l
