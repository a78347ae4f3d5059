# helper_add_test(NAME SOURCES src... [NETNS] [LIBS lib...] [LABELS l...] [TIMEOUT s])
# One GoogleTest executable registered with CTest as one test. With NETNS the
# program runs in a private network namespace and under a private HELPER_ROOT
# (tests/support/netns_main.cc); such tests carry the label "root".
function(helper_add_test name)
  cmake_parse_arguments(T "NETNS" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if(T_NETNS)
    target_link_libraries(${name} PRIVATE helper_netns_main)
    list(APPEND T_LABELS root)
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  target_link_libraries(${name} PRIVATE helper_core helper_test_support GTest::gtest GTest::gmock ${T_LIBS})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "HELPER_SOURCE_DIR=${PROJECT_SOURCE_DIR};HELPER_BINARY_DIR=${PROJECT_BINARY_DIR}")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# helper_add_fuzzer(NAME SOURCES src... [LIBS lib...]); the seed corpus is
# fuzz/corpus/NAME.
function(helper_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE helper_core ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# helper_add_bench(NAME SOURCES src... [LIBS lib...])
function(helper_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE helper_core benchmark::benchmark ${B_LIBS})
endfunction()
