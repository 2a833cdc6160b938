# What CMake asks of an interpreter: the value of a sysconfig expression, and
# the header directory and extension suffix an extension module for it needs.
# Shared by every interpreter the project builds for (cmake/Python27.cmake,
# cmake/Python3.cmake, cmake/Wheel.cmake).

# The value of a Python expression (with sysconfig imported) as the
# interpreter prints it.
function(volumes_python_query interpreter expression out_var)
  execute_process(COMMAND ${interpreter} -c "import sysconfig; print(${expression})"
                  OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${interpreter} could not report ${expression}")
  endif()
  set(${out_var} "${value}" PARENT_SCOPE)
endfunction()

# An interpreter's header directory and extension suffix into
# <prefix>_INCLUDE_DIR and <prefix>_EXT_SUFFIX (EXT_SUFFIX in Python 3, SO in
# 2.7). Without its headers: fails with `missing`, or, when `missing` is
# OPTIONAL, sets <prefix>_HEADERS_FOUND to FALSE and leaves the choice to the
# caller.
function(volumes_python_layout interpreter prefix missing)
  volumes_python_query(${interpreter} "sysconfig.get_config_var('INCLUDEPY')" include_dir)
  volumes_python_query(${interpreter}
                       "sysconfig.get_config_var('EXT_SUFFIX') or sysconfig.get_config_var('SO')"
                       ext_suffix)
  set(${prefix}_HEADERS_FOUND TRUE PARENT_SCOPE)
  if(NOT EXISTS "${include_dir}/Python.h")
    if(missing STREQUAL "OPTIONAL")
      set(${prefix}_HEADERS_FOUND FALSE PARENT_SCOPE)
      return()
    endif()
    message(FATAL_ERROR "${missing}")
  endif()
  set(${prefix}_INCLUDE_DIR "${include_dir}" PARENT_SCOPE)
  set(${prefix}_EXT_SUFFIX "${ext_suffix}" PARENT_SCOPE)
endfunction()
