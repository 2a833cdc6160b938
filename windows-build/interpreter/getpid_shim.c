/* msvcr90.dll exports only the underscored _getpid; mingw's headers and
   posixmodule.c call it by its old name. */
int _getpid(void);

int getpid(void) {
  return _getpid();
}
