/* _ctypes' callproc.c asks its MSVC libffi which small structures come back
   in registers (EAX, or EDX:EAX); the unix libffi that this build links has
   no such helpers. These are MSVC's rules, which mingw-w64 follows. */
#include <stddef.h>

int can_return_struct_as_int(size_t size) {
  return size == 1 || size == 2 || size == 4;
}

int can_return_struct_as_sint64(size_t size) {
  return size == 8;
}
