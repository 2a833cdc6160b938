// Text, names and caller-buffer helpers: no system calls here.

#include "text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace k32l {

namespace {

// Decodes one UTF-8 sequence at `s[i]`; returns its length, or 0 when the
// bytes there are not a well-formed sequence.
std::size_t decode_utf8(std::string_view s, std::size_t i, char32_t& cp) {
  const auto lead = static_cast<unsigned char>(s[i]);
  std::size_t len;
  char32_t min;
  if (lead < 0x80) {
    cp = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    cp = lead & 0x1F;
    len = 2;
    min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    cp = lead & 0x0F;
    len = 3;
    min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    cp = lead & 0x07;
    len = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() - i < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto cont = static_cast<unsigned char>(s[i + k]);
    if ((cont & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cont & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void append_utf16(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

bool is_id_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '-';
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr std::string_view kNamePrefix = "\\\\?\\Volume{";
constexpr std::string_view kWin32Prefix = "\\\\?\\";

// ASCII text (mount points, volume names) widened unit by unit: its own
// UTF-16. nullopt when the text has other bytes.
std::optional<std::u16string> ascii_to_utf16(std::string_view text) {
  unsigned char high = 0;
  for (char c : text) high |= static_cast<unsigned char>(c);
  if (high & 0x80) return std::nullopt;
  std::u16string out(text.size(), u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) out[i] = static_cast<char16_t>(text[i]);
  return out;
}

}  // namespace

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool append_as_utf16(std::string_view utf8, std::u16string& out) {
  const std::size_t start = out.size();
  // The ASCII that leads (all of most paths) widened at once.
  std::size_t i = 0;
  while (i < utf8.size() && static_cast<unsigned char>(utf8[i]) < 0x80) ++i;
  out.resize(start + i);
  std::copy(utf8.begin(), utf8.begin() + i, out.begin() + start);
  while (i < utf8.size()) {
    char32_t cp = 0;
    const std::size_t len = decode_utf8(utf8, i, cp);
    if (len == 0) {
      out.resize(start);
      return false;
    }
    append_utf16(out, cp);
    i += len;
  }
  return true;
}

std::optional<std::u16string> utf8_to_utf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());  // UTF-8 takes at least as many bytes as UTF-16 units
  if (!append_as_utf16(utf8, out)) return std::nullopt;
  return out;
}

std::u16string utf8_to_utf16_lossy(std::string_view utf8) {
  if (auto ascii = ascii_to_utf16(utf8)) return std::move(*ascii);
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t cp = 0;
    const std::size_t len = decode_utf8(utf8, i, cp);
    if (len == 0) {
      out.push_back(u'\uFFFD');
      ++i;
    } else {
      append_utf16(out, cp);
      i += len;
    }
  }
  return out;
}

std::optional<std::string> utf16_to_utf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= utf16.size()) return std::nullopt;
      const char32_t low = utf16[i + 1];
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return std::nullopt;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::optional<std::u16string> read_argument(const WCHAR* text) {
  if (text == nullptr) return std::nullopt;
  std::size_t len = 0;
  while (text[len] != 0) {
    if (++len > kMaxArgumentChars) return std::nullopt;
  }
  return std::u16string(text, len);
}

bool is_valid_volume_id(std::string_view id) {
  if (id.empty()) return false;
  for (char c : id)
    if (!is_id_char(c)) return false;
  return true;
}

namespace {

// "\\?\Volume{" ID "}\" in the units of `Text` (ASCII throughout).
template <class Text>
Text volume_name_of(std::string_view id) {
  Text name(kNamePrefix.size() + id.size() + 2, 0);
  auto at = std::copy(kNamePrefix.begin(), kNamePrefix.end(), name.begin());
  at = std::copy(id.begin(), id.end(), at);
  *at++ = '}';
  *at = '\\';
  return name;
}

}  // namespace

std::string format_volume_name(std::string_view id) { return volume_name_of<std::string>(id); }

std::u16string wide_volume_name(std::string_view id) {
  return volume_name_of<std::u16string>(id);
}

ParsedName parse_volume_name(std::string_view text, bool require_trailing_backslash) {
  if (text.substr(0, kWin32Prefix.size()) != kWin32Prefix) return {NameParse::NotAVolumeName, {}};
  if (text.substr(0, kNamePrefix.size()) != kNamePrefix) return {NameParse::Malformed, {}};
  std::string_view rest = text.substr(kNamePrefix.size());
  if (!rest.empty() && rest.back() == '\\') {
    rest.remove_suffix(1);
  } else if (require_trailing_backslash) {
    return {NameParse::Malformed, {}};
  }
  if (rest.empty() || rest.back() != '}') return {NameParse::Malformed, {}};
  rest.remove_suffix(1);
  if (!is_valid_volume_id(rest)) return {NameParse::Malformed, {}};
  return {NameParse::Ok, std::string(rest)};
}

bool same_volume_id(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

std::size_t volume_id_hash(std::string_view id) {
  // Eight bytes a step, each word's ASCII capitals folded at once: a byte
  // below 0x80 is a capital when adding 0x3F carries it into its top bit
  // and adding 0x25 does not; its 0x20 bit is then set, as ascii_lower
  // does. The length goes in first, so zeros padding the last word count.
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL, kTop = 0x8080808080808080ULL;
  std::uint64_t hash = 0x9E3779B97F4A7C15ULL ^ id.size();
  const auto mix = [&hash](std::uint64_t word) {
    const std::uint64_t low = word & kLow7;
    const std::uint64_t capital = ((low + 0x3F3F3F3F3F3F3F3FULL) ^ (low + 0x2525252525252525ULL)) &
                                  ~word & kTop;
    hash = (hash ^ (word | capital >> 2)) * 0xFF51AFD7ED558CCDULL;
    hash ^= hash >> 29;
  };
  std::size_t i = 0;
  for (; i + 8 <= id.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, id.data() + i, 8);
    mix(word);
  }
  if (i < id.size()) {
    std::uint64_t word = 0;
    std::memcpy(&word, id.data() + i, id.size() - i);
    mix(word);
  }
  return static_cast<std::size_t>(hash);
}

std::string device_volume_id(std::uint64_t dev) {
  // "00000000-0000-0000-HHHH-LLLLLLLLLLLL": the high 16 bits, then the low
  // 48, in lower-case hex digits (written by hand: a refresh names every
  // volume without a UUID this way, and snprintf costs ten times as much).
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string id = "00000000-0000-0000-HHHH-LLLLLLLLLLLL";
  for (std::size_t k = 0; k < 4; ++k) id[19 + k] = kDigits[(dev >> (60 - 4 * k)) & 0xF];
  for (std::size_t k = 0; k < 12; ++k) id[24 + k] = kDigits[(dev >> (44 - 4 * k)) & 0xF];
  return id;
}

std::uint32_t serial_from_device(std::uint64_t dev) {
  return static_cast<std::uint32_t>(dev ^ (dev >> 32));
}

std::optional<std::string> normalise_path(std::string_view path) {
  if (path.empty() || path.front() != '/') return std::nullopt;
  std::string out;
  std::size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    std::size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(i, end - i);
    if (!part.empty() && part != ".") {
      out += '/';
      out += part;
    }
    i = end;
  }
  if (out.empty()) out = "/";
  return out;
}

std::optional<std::string> normalise_root(std::string_view path) {
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return normalise_path(path);
}

bool path_is_under(std::string_view path, std::string_view target) {
  if (target == "/") return !path.empty() && path.front() == '/';
  if (path.substr(0, target.size()) != target) return false;
  return path.size() == target.size() || path[target.size()] == '/';
}

bool has_dot_dot(std::string_view path) {
  for (std::size_t i = 0; i < path.size();) {
    std::size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(i, end - i) == "..") return true;
    i = end + 1;
  }
  return false;
}

std::string unescape_octal(std::string_view text) {
  const auto octal = [&](std::size_t i) { return text[i] >= '0' && text[i] <= '7'; };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '\\' && i + 3 < text.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                               (text[i + 3] - '0'));
      i += 4;
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::u16string build_multi_string(const std::vector<std::u16string>& items) {
  std::u16string out;
  for (const auto& item : items) {
    out += item;
    out.push_back(u'\0');
  }
  out.push_back(u'\0');  // closes the list; alone it is the empty list
  return out;
}

std::u16string multi_string_of(const std::vector<std::string>& items) {
  std::u16string out;
  std::size_t units = 1;
  for (const auto& item : items) units += item.size() + 1;
  out.reserve(units);  // UTF-8 takes at least as many bytes as UTF-16 units
  for (const auto& item : items)
    if (append_as_utf16(item, out)) out.push_back(u'\0');
  out.push_back(u'\0');  // closes the list; alone it is the empty list
  return out;
}

bool copy_terminated(std::u16string_view text, WCHAR* buffer, std::size_t capacity) {
  if (buffer == nullptr || capacity < text.size() + 1) return false;
  text.copy(buffer, text.size());
  buffer[text.size()] = 0;
  return true;
}

}  // namespace k32l
