#include "volume_queries/multi_string.h"

namespace volumes {

std::vector<TextPiece> MultiStringPieces(const WCHAR* text, std::size_t length) {
  std::vector<TextPiece> pieces;
  ForEachMultiStringPiece(text, length, [&pieces](TextPiece piece) { pieces.push_back(piece); });
  return pieces;
}

}  // namespace volumes
