// Fuzzes the module's reading of text the system wrote: a fixed buffer read
// up to its first NUL and never past its end, UTF-16 to unicode and back
// without loss (surrogate pairs and lone surrogates included), and the
// pieces of a multi-string of mount points.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "pyutil/python_error.h"
#include "pyutil/utf16.h"
#include "volume_queries/multi_string.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckFixedBuffer(const std::vector<WCHAR>& units) {
  const std::size_t length = pyutil::BoundedLength(units.data(), units.size());
  Check(length <= units.size());
  for (std::size_t index = 0; index < length; ++index) Check(units[index] != 0);
  if (length < units.size()) Check(units[length] == 0);
  pyutil::OwnedRef text = pyutil::WideToUnicode(units.data(), length);
  Check(PyUnicode_CheckExact(text.get()));
  Check(pyutil::UnicodeToWide(text.get()) == pyutil::WideString(units.data(), length));
}

void CheckMultiString(const std::vector<WCHAR>& units) {
  const std::vector<volumes::TextPiece> pieces =
      volumes::MultiStringPieces(units.data(), units.size());
  std::size_t runs = 0;
  for (std::size_t index = 0; index < units.size(); ++index) {
    if (units[index] != 0 && (index == 0 || units[index - 1] == 0)) ++runs;
  }
  Check(pieces.size() == runs);
  std::size_t previous_end = 0;
  for (const volumes::TextPiece& piece : pieces) {
    Check(piece.length > 0 && piece.offset >= previous_end);
    Check(piece.offset + piece.length <= units.size());
    Check(piece.offset == 0 || units[piece.offset - 1] == 0);
    Check(piece.offset + piece.length == units.size() || units[piece.offset + piece.length] == 0);
    for (std::size_t index = piece.offset; index < piece.offset + piece.length; ++index) {
      Check(units[index] != 0);
    }
    previous_end = piece.offset + piece.length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  Py_InitializeEx(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<WCHAR> units(size / 2);
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<WCHAR>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  try {
    CheckFixedBuffer(units);
    CheckMultiString(units);
  } catch (pyutil::PythonErrorSet& error) {
    error.Restore();
    PyErr_Print();
    std::abort();
  }
  return 0;
}
