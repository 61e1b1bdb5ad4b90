# Registers the HTTP request fuzz run with CTest (included from tests/CMakeLists.txt).
# It builds with clang in a build folder of its own, so the main build may use
# any compiler; without clang the run is left out.
find_program(PV_CLANGXX clang++)
if(PV_CLANGXX)
  add_test(NAME fuzz_http_request
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/run_fuzz.sh ${CMAKE_SOURCE_DIR}
            ${CMAKE_CURRENT_BINARY_DIR}/fuzz 20)
  set_tests_properties(fuzz_http_request PROPERTIES TIMEOUT 900)
else()
  message(STATUS "clang++ not found: the fuzz run is not registered")
endif()
