# Registers the fuzz runs with CTest (included from tests/CMakeLists.txt): one
# build of all targets with clang in a folder of its own, then a short run of
# each target, in parallel under ctest -j. Only the plain build registers them
# (the targets carry their own sanitizers); without clang they are left out.
find_program(PV_CLANGXX clang++)
if(PV_CLANGXX AND NOT PV_SANITIZE)
  set(PV_FUZZ_WORK ${CMAKE_CURRENT_BINARY_DIR}/fuzz)
  set(PV_FUZZ_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/run_fuzz.sh)
  add_test(NAME fuzz_build COMMAND sh ${PV_FUZZ_SCRIPT} --work ${PV_FUZZ_WORK} build)
  set_tests_properties(fuzz_build PROPERTIES TIMEOUT 1800 FIXTURES_SETUP pvfuzz)
  file(GLOB PV_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_fuzz.cpp)
  foreach(src ${PV_FUZZ_SOURCES})
    get_filename_component(name ${src} NAME_WE)
    string(REGEX REPLACE "_fuzz$" "" name ${name})
    # A fixed seed and number of runs, not a time: a slow machine tries the
    # same inputs as a fast one, so the verdict does not depend on its speed.
    # The time given is only a cap far above what the runs take.
    add_test(NAME fuzz_${name} COMMAND sh ${PV_FUZZ_SCRIPT} --work ${PV_FUZZ_WORK} --no-build ${name} 600)
    set_tests_properties(fuzz_${name} PROPERTIES TIMEOUT 900 FIXTURES_REQUIRED pvfuzz
                         ENVIRONMENT "FUZZ_FLAGS=-seed=1 -runs=2000")
  endforeach()
elseif(NOT PV_CLANGXX)
  message(STATUS "clang++ not found: the fuzz runs are not registered")
endif()
