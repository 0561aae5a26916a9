# Adds every immediate sub-folder of <parent> that has a CMakeLists.txt.
function(kit_add_subdirectories parent)
  file(GLOB children LIST_DIRECTORIES true "${CMAKE_SOURCE_DIR}/${parent}/*")
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY "${child}" AND EXISTS "${child}/CMakeLists.txt")
      add_subdirectory("${child}")
    endif()
  endforeach()
endfunction()

if(KIT_TESTS)
  if(CMAKE_CROSSCOMPILING)
    # GoogleTest built from Debian's sources for the cross target.
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
    # The googletest project defines the GTest:: aliases itself.
  else()
    find_package(GTest REQUIRED)
  endif()
  include(GoogleTest)
endif()

# Natively every test case is its own CTest entry, unless KIT_TESTS_SHUFFLED: then each test
# executable is one entry that runs all its cases in one process in a random order, which finds
# cases that depend on one another (the release preset runs this way; the seed is in the output).
option(KIT_TESTS_SHUFFLED "Run each test executable whole, its cases shuffled" OFF)

# kit_add_unit_test(<name> SOURCES ... LIBS ... [LABELS ...])
# One executable per subsystem. Natively every test case becomes its own CTest entry (see
# KIT_TESTS_SHUFFLED); under an emulator (Wine) the whole executable is one entry, because each
# process start costs a Wine start.
function(kit_add_unit_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  kit_warnings(${name})
  kit_static_windows_exe(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    if(CMAKE_CROSSCOMPILING_EMULATOR)
      add_test(NAME ${name} COMMAND ${name})
      set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS};windows" TIMEOUT 1800)
    endif()
  else()
    # A defined locale, so that code page tests do not depend on the caller's environment.
    set(properties ENVIRONMENT "LC_ALL=C.UTF-8")
    if(ARG_LABELS)
      list(APPEND properties LABELS "${ARG_LABELS}")
    endif()
    if(KIT_TESTS_SHUFFLED)
      add_test(NAME ${name} COMMAND ${name} --gtest_shuffle)
      set_tests_properties(${name} PROPERTIES ${properties})
    else()
      gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${properties})
    endif()
  endif()
endfunction()

# kit_add_fuzzer(<name> SOURCES ... LIBS ... [CORPUS_MAX_BYTES n]): a fuzz target whose inputs live in
# fuzz/<name>/seeds (written by hand) and fuzz/<name>/corpus (kept by scripts/fuzz.sh's merge
# step); libFuzzer flags the target always needs, such as -max_len, go one a line into
# fuzz/<name>/options.
# - linux-fuzz (KIT_FUZZ): the libFuzzer executable fuzz_<name>, placed in <build>/fuzz/bin so
#   that scripts/fuzz.sh finds every target in one folder.
# - native test builds (KIT_FUZZ_REPLAY): the executable fuzz_replay_<name> (CMake target
#   fuzz_<name> as well), the same sources without libFuzzer, and the CTest entry
#   fuzz_replay.<name> that runs every seed and corpus input through it and holds each input to
#   -max_len (4096 without one) and the corpus to CORPUS_MAX_BYTES (2 MiB).
function(kit_add_fuzzer name)
  cmake_parse_arguments(ARG "" "CORPUS_MAX_BYTES" "SOURCES;LIBS" ${ARGN})
  set(folder "${CMAKE_CURRENT_SOURCE_DIR}")
  if(KIT_FUZZ)
    add_executable(fuzz_${name} ${ARG_SOURCES})
    kit_warnings(fuzz_${name})
    target_link_libraries(fuzz_${name} PRIVATE ${ARG_LIBS})
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    set_target_properties(fuzz_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/fuzz/bin")
  elseif(KIT_FUZZ_REPLAY)
    set(max_len 4096)
    if(EXISTS "${folder}/options")
      file(STRINGS "${folder}/options" lines REGEX "^-max_len=[0-9]+")
      foreach(line IN LISTS lines)
        string(REGEX REPLACE "^-max_len=([0-9]+).*" "\\1" max_len "${line}")
      endforeach()
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${folder}/options")
    endif()
    if(NOT ARG_CORPUS_MAX_BYTES)
      set(ARG_CORPUS_MAX_BYTES 2097152)
    endif()
    # The same target name in both builds, so that a folder may add to it (include folders).
    add_executable(fuzz_${name} ${ARG_SOURCES} ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp)
    set_target_properties(fuzz_${name} PROPERTIES OUTPUT_NAME fuzz_replay_${name})
    kit_warnings(fuzz_${name})
    target_link_libraries(fuzz_${name} PRIVATE ${ARG_LIBS})
    add_test(NAME fuzz_replay.${name}
      COMMAND fuzz_${name} --max-file-bytes ${max_len} --max-total-bytes ${ARG_CORPUS_MAX_BYTES}
              "${folder}/seeds" "${folder}/corpus")
    set_tests_properties(fuzz_replay.${name} PROPERTIES LABELS fuzz_replay ENVIRONMENT "LC_ALL=C.UTF-8")
  endif()
endfunction()

# kit_add_script_scenarios(<prefix> <scenario file> <runner> [MODE <mode>] [SKIP_ARRAYS <name>...]
#                          [LABELS ...] [ENVIRONMENT var=value...])
# End-to-end scenarios written as shell functions "scenario_<name>()" in <scenario file>: one
# CTest entry <prefix>.<name> each, running "bash <runner> <mode> <name>" (mode native unless
# given); an output line with "FAIL" fails it. SKIP_ARRAYS names one-line bash arrays in the
# scenario file, <name>=(...), whose scenarios the mode does not run and so get no entry.
function(kit_add_script_scenarios prefix scenarios runner)
  cmake_parse_arguments(ARG "" "MODE" "SKIP_ARRAYS;ENVIRONMENT;LABELS" ${ARGN})
  if(NOT ARG_MODE)
    set(ARG_MODE native)
  endif()
  set(skipped "")
  foreach(array IN LISTS ARG_SKIP_ARRAYS)
    file(STRINGS ${scenarios} skip_lines REGEX "^${array}=\\(")
    foreach(skip_line IN LISTS skip_lines)
      string(REGEX REPLACE "^${array}=\\((.*)\\).*" "\\1" names "${skip_line}")
      separate_arguments(names UNIX_COMMAND "${names}")
      list(APPEND skipped ${names})
    endforeach()
  endforeach()
  file(STRINGS ${scenarios} lines REGEX "^scenario_[a-z0-9_]+\\(\\)")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^scenario_([a-z0-9_]+)\\(\\).*" "\\1" scenario "${line}")
    if(scenario IN_LIST skipped)
      continue()
    endif()
    add_test(NAME ${prefix}.${scenario} COMMAND bash ${runner} ${ARG_MODE} ${scenario})
    set_tests_properties(${prefix}.${scenario} PROPERTIES
      ENVIRONMENT "${ARG_ENVIRONMENT}" FAIL_REGULAR_EXPRESSION "FAIL")
    if(ARG_LABELS)
      set_tests_properties(${prefix}.${scenario} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${scenarios})
endfunction()
