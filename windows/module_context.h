// What the volume queries (windows/volume_queries) need of the module that
// registers them: its logger and its way of raising WindowsError. The module
// defines these (windows/volumes/module_state.cpp); the queries include this
// header and never the module's state, so includes run from the module down.
#pragma once

#include <Python.h>

#include "kernel32.h"
#include "pyutil/calls.h"
#include "pyutil/owned_ref.h"

namespace volumes {

// The logger methods the module calls.
enum class LogLevel { kDebug, kInfo, kWarning, kError, kException };

// LOGGER, as the module namespace holds it now.
pyutil::OwnedRef Logger();

// The interned name of the logger method for `level` ("debug", ...). Borrowed.
PyObject* LogMethodName(LogLevel level);

// The native str of a log format, a string literal: made on its first use
// and kept (keyed by the literal's address), so that a record logged for
// every volume does not make its format anew. Borrowed.
PyObject* LogFormat(const char* format);

// Calls LOGGER.<level>(format, arguments...): the logger does the
// formatting. `format` is a string literal.
template <typename... Arguments>
void Log(LogLevel level, const char* format, Arguments... arguments) {
  pyutil::OwnedRef logger = Logger();
  pyutil::CallMethod(logger.get(), LogMethodName(level), LogFormat(format), arguments...);
}

// Raises WindowsError through windows.winwrap, which reads the code of the
// failed call from the thread's last error: only right after the call.
[[noreturn]] void RaiseWindowsError();
// Raises WindowsError for this code: for a code read earlier, which code run
// since (a log handler) cannot change.
[[noreturn]] void RaiseWindowsError(DWORD error_code);

}  // namespace volumes
