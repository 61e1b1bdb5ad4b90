# The layer check on small source trees: each case is one file with one include
# line, the included file beside it, and the check's expected verdict.
#   cmake -DPV_LAYERS=<tools/layers.cmake> -DPV_WORK=<scratch folder> -P layers_test.cmake

# file | include line | "ok" or a text the check must print
set(cases
  "core/a.cpp|#include \"platform/os/b.h\"|ok"
  "core/a.cpp|#include \"platform/desktop/b.h\"|core/a.cpp (core) includes platform/desktop/b.h (desktop)"
  "platform/os/a.cpp|#include \"core/b.h\"|platform/os/a.cpp (os) includes core/b.h (core)"
  "app/store/a.cpp|#include \"app/sync/b.h\"|app/store/a.cpp (store) includes app/sync/b.h (sync)"
  "app/sync/a.cpp|#include \"app/store/b.h\"|ok"
  "app/web/a.cpp|#include \"platform/desktop/b.h\"|ok"
  "app/main.cpp|#include \"platform/desktop/gio/b.h\"|ok"
  "platform/desktop/a.cpp|#include \"app/store/b.h\"|platform/desktop/a.cpp (desktop) includes app/store/b.h (store)"
  "ieext/a.cpp|#include \"app/web/b.h\"|ieext/a.cpp (ieext) includes app/web/b.h (web)"
  "setup/a.cpp|#include \"ieext/b.h\"|setup/a.cpp (setup) includes ieext/b.h (ieext)"
  "setup/a.cpp|#include \"platform/desktop/registry/b.h\"|ok"
  "platform/a.cpp|#include \"platform/os/b.h\"|platform/a.cpp lies in no layer"
  "core/a.cpp|#include \"tinyxml.h\"|ok"
  "platform/os/pvdump/a.cpp|#include \"b.h\"|ok"
  "core/a.cpp|#include \"../app/web/b.h\"|core/a.cpp (core) includes app/web/b.h (web)"
  "core/a.h|  #  include \"app/store/b.h\" // spaced|core/a.h (core) includes app/store/b.h (store)"
  "core/a.cpp|// #include \"app/store/b.h\"|ok"
)

set(failures 0)
set(n 0)
foreach(entry ${cases})
  math(EXPR n "${n} + 1")
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 file)
  list(GET parts 1 line)
  list(GET parts 2 expected)
  set(root ${PV_WORK}/case${n})
  file(REMOVE_RECURSE ${root})
  get_filename_component(dir "${file}" DIRECTORY)
  file(WRITE ${root}/${file} "${line}\n")
  # The included file exists, so the check reads it as ours.
  string(REGEX REPLACE ".*include[ \t]*\"([^\"]*)\".*" "\\1" name "${line}")
  if(NOT name STREQUAL "tinyxml.h")
    if(name MATCHES "^b\\.h$|^\\.\\./")
      file(WRITE ${root}/${dir}/${name} "")
    else()
      file(WRITE ${root}/${name} "")
    endif()
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -DPV_SOURCE_DIR=${root} -P ${PV_LAYERS}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(seen "${out}${err}")
  # The messages wrap long lines; the verdict is read with the breaks undone.
  string(REGEX REPLACE "[ \t]*\n[ \t]*" " " flat "${seen}")
  if(expected STREQUAL "ok")
    if(NOT rc EQUAL 0)
      message(SEND_ERROR "case ${n} (${file}: ${line}) should pass; exit ${rc}:\n${seen}")
      math(EXPR failures "${failures} + 1")
    endif()
  else()
    string(FIND "${flat}" "${expected}" at)
    if(rc EQUAL 0 OR at EQUAL -1)
      message(SEND_ERROR "case ${n} (${file}: ${line}) should report \"${expected}\"; exit ${rc}:\n${seen}")
      math(EXPR failures "${failures} + 1")
    endif()
  endif()
endforeach()
file(REMOVE_RECURSE ${PV_WORK})

math(EXPR passed "${n} - ${failures}")
message(STATUS "layer check: ${passed} passed, ${failures} failed")
if(failures GREATER 0)
  message(FATAL_ERROR "the layer check misjudged ${failures} of ${n} trees")
endif()
