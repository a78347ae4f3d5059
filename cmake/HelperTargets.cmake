# helper_add_test(NAME SOURCES src... [NETNS | OWN_MAIN] [LIBS lib...] [LABELS l...] [TIMEOUT s])
# One GoogleTest executable registered with CTest as one test. With NETNS the
# program runs in a private network namespace and under a private HELPER_ROOT
# (tests/support/netns_main.cc); such tests carry the label "root". A test
# with neither NETNS nor labels of its own is a "unit" test: the fast loop,
# `ctest -L unit`, runs those. With OWN_MAIN the sources bring their main().
function(helper_add_test name)
  cmake_parse_arguments(T "NETNS;OWN_MAIN" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if(T_NETNS)
    target_link_libraries(${name} PRIVATE helper_netns_main)
    list(APPEND T_LABELS root)
  elseif(NOT T_OWN_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  if(NOT T_NETNS AND NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  target_link_libraries(${name} PRIVATE helper_all helper_test_support GTest::gtest GTest::gmock ${T_LIBS})
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
  target_link_libraries(${name} PRIVATE helper_all ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# helper_add_bench(NAME SOURCES src... [LIBS lib...])
function(helper_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE helper_all benchmark::benchmark ${B_LIBS})
endfunction()

# helper_sign(<target> IDENTIFIER <id> KEY <keyfile>)
# helper_sign(<target> IDENTIFIER <id> ADHOC)
# Signs the target's output with helper-codesign after every link, with the
# team key in <keyfile> or ad-hoc (no Team ID). The program still runs as
# before (the signature is a trailer after the end of the ELF image). A
# change of the key file relinks and so re-signs the target; the key must
# exist before the build or be the output of a build rule, as the two test
# keys below are.
function(helper_sign target)
  cmake_parse_arguments(S "ADHOC" "IDENTIFIER;KEY" "" ${ARGN})
  if(NOT S_IDENTIFIER)
    message(FATAL_ERROR "helper_sign(${target}): IDENTIFIER is required")
  endif()
  if((S_ADHOC AND S_KEY) OR (NOT S_ADHOC AND NOT S_KEY))
    message(FATAL_ERROR "helper_sign(${target}): give exactly one of KEY <keyfile> and ADHOC")
  endif()
  if(S_ADHOC)
    set(how --adhoc)
  else()
    set(how --key ${S_KEY})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${S_KEY})
    string(FIND "${S_KEY}" "${PROJECT_BINARY_DIR}/keys/" in_keys)
    if(in_keys EQUAL 0)
      add_dependencies(${target} helper_test_keys)
    endif()
  endif()
  add_dependencies(${target} helper-codesign)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND helper-codesign sign --identifier ${S_IDENTIFIER} ${how} $<TARGET_FILE:${target}>
    COMMENT "Signing ${target} as ${S_IDENTIFIER}"
    VERBATIM)
endfunction()

# helper_test_keys: two signing keys for tests, made once per build tree and
# kept across rebuilds: ${PROJECT_BINARY_DIR}/keys/test-team.key (the team
# the tests' helper and clients belong to) and other-team.key (a stranger).
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/keys/test-team.key ${PROJECT_BINARY_DIR}/keys/other-team.key
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/keys
  COMMAND helper-codesign keygen --if-missing --out ${PROJECT_BINARY_DIR}/keys/test-team.key
  COMMAND helper-codesign keygen --if-missing --out ${PROJECT_BINARY_DIR}/keys/other-team.key
  COMMENT "Making the test signing keys"
  VERBATIM)
add_custom_target(helper_test_keys
  DEPENDS ${PROJECT_BINARY_DIR}/keys/test-team.key ${PROJECT_BINARY_DIR}/keys/other-team.key)
