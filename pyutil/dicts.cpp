#include "pyutil/dicts.h"

namespace pyutil {

Py_ssize_t KeywordDictPresize(const OwnedRef* names, std::size_t count) {
#if PY_MAJOR_VERSION >= 3
  static_cast<void>(names);
  return static_cast<Py_ssize_t>(count);
#else
  const auto filled = [&](PyObject* dict) {
    OwnedRef owner = RequireNew(dict);
    for (std::size_t index = 0; index < count; ++index) {
      RequireStatus(PyDict_SetItem(owner.get(), names[index].get(), Py_None));
    }
    return owner;
  };
  const OwnedRef grown = filled(PyDict_New());
  const Py_ssize_t mask = reinterpret_cast<PyDictObject*>(grown.get())->ma_mask;
  // A table of mask + 1 slots: _PyDict_NewPresized makes the smallest power
  // of two above the count it is given (and none for 5 or fewer).
  if (mask + 1 <= PyDict_MINSIZE) return 0;
  const OwnedRef sized = filled(_PyDict_NewPresized(mask));
  if (reinterpret_cast<PyDictObject*>(sized.get())->ma_mask != mask) return 0;
  // Slot by slot, as every reader of the dict goes through it.
  Py_ssize_t grown_slot = 0, sized_slot = 0;
  PyObject *grown_key, *sized_key, *value;
  for (;;) {
    const int more = PyDict_Next(grown.get(), &grown_slot, &grown_key, &value);
    if (more != PyDict_Next(sized.get(), &sized_slot, &sized_key, &value)) return 0;
    if (!more) return mask;
    if (grown_slot != sized_slot || grown_key != sized_key) return 0;
  }
#endif
}

}  // namespace pyutil
