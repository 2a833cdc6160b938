/* _setjmp for code built against msvcrt.dll and linked into a UCRT
   program: mingw-w64's static libwinpthread.a (which the posix-thread
   libstdc++ of a C++ extension linked -static pulls in) calls _setjmp,
   which ucrtbase.dll does not export. Its setjmp under _UCRT is
   __intrinsic_setjmpex with the same two arguments (buffer, frame), so a
   tail jump, leaving the caller's frame and return address in place, is
   all _setjmp has to be. */
    .text
    .globl _setjmp
    .def _setjmp; .scl 2; .type 32; .endef
_setjmp:
    jmp *__imp___intrinsic_setjmpex(%rip)
