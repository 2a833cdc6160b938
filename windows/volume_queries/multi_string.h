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

// Calls visit(piece) for each non-empty NUL-separated piece of the first
// `length` units of `text`, in order, without gathering them first. Empty
// pieces (consecutive NULs, the closing NULs) are dropped.
template <typename Visit>
void ForEachMultiStringPiece(const WCHAR* text, std::size_t length, Visit&& visit) {
  for (std::size_t start = 0; start < length;) {
    std::size_t end = start;
    while (end < length && text[end] != 0) ++end;
    if (end > start) visit(TextPiece{start, end - start});
    start = end + 1;
  }
}

// The same pieces, gathered.
std::vector<TextPiece> MultiStringPieces(const WCHAR* text, std::size_t length);

}  // namespace volumes
