// The pieces of a multi-string the system wrote: strings separated and
// ended by NULs. Pure arithmetic on the units, kept apart so that it can be
// fuzzed without an interpreter.
#pragma once

#include <cstddef>
#include <vector>

#include "kernel32.h"

namespace volumes {

struct TextPiece {
  std::size_t offset;  // in units from the start of the text
  std::size_t length;  // in units, never 0
};

// The non-empty NUL-separated pieces of the first `length` units of `text`,
// in order. Empty pieces (consecutive NULs, the closing NULs) are dropped.
std::vector<TextPiece> MultiStringPieces(const WCHAR* text, std::size_t length);

}  // namespace volumes
