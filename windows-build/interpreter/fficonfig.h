/* libffi 3.1's configuration for i686 Windows under mingw-w64, written by
   hand: the interpreter build runs no configure script. */
#define HAVE_ALLOCA 1
#define HAVE_LONG_DOUBLE 1
#define HAVE_MEMCPY 1
#define HAVE_STDLIB_H 1
#define HAVE_STRING_H 1
#define HAVE_STDINT_H 1
#define HAVE_INTTYPES_H 1
#define SIZEOF_DOUBLE 8
#define SIZEOF_LONG_DOUBLE 12
#define SIZEOF_SIZE_T 4
#define STDC_HEADERS 1
/* Windows' C symbols carry a leading underscore on i686. */
#define SYMBOL_UNDERSCORE 1
#define EH_FRAME_FLAGS "aw"
#ifdef LIBFFI_ASM
#define FFI_HIDDEN(name)
#else
#define FFI_HIDDEN
#endif
