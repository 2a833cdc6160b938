#include "volume_queries/multi_string.h"

namespace volumes {

std::vector<TextPiece> MultiStringPieces(const WCHAR* text, std::size_t length) {
  std::vector<TextPiece> pieces;
  std::size_t start = 0;
  for (std::size_t index = 0; index <= length; ++index) {
    if (index == length || text[index] == 0) {
      if (index > start) pieces.push_back(TextPiece{start, index - start});
      start = index + 1;
    }
  }
  return pieces;
}

}  // namespace volumes
