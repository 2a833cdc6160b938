# volumes_pure_python(SOURCE_ROOT TREE TARGET)
#
# Copies the pure-Python packages of the application (windows/, common/,
# platforms/ under SOURCE_ROOT) into the importable tree TREE, kept up to
# date by the target TARGET. Shared by the Linux build and the Windows one.
function(volumes_pure_python source_root tree target)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS RELATIVE ${source_root}
       ${source_root}/windows/*.py ${source_root}/common/*.py ${source_root}/platforms/*.py)
  set(copied)
  foreach(relative ${sources})
    add_custom_command(OUTPUT ${tree}/${relative}
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${source_root}/${relative} ${tree}/${relative}
      DEPENDS ${source_root}/${relative})
    list(APPEND copied ${tree}/${relative})
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${copied})
endfunction()
