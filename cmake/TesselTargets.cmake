# Small wrappers so every folder declares its targets the same way.

# tessel_add_library(<name> [DEPS <targets>...] [EXCLUDE <files>...])
# A static library built from every .cc file of the calling folder but the excluded ones.
function(tessel_add_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  foreach(excluded ${ARG_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
  endforeach()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# tessel_add_test(<name> SOURCES <files>... [LIBS <targets>...])
# A GoogleTest executable whose tests CTest discovers one by one. Every test process gets a
# private log folder, so the process logger of a test binary never writes into the user's
# temporary folder.
function(tessel_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES
      ENVIRONMENT "{CBB742F7-4EE8-4643-97CD-AB66DF0BAFEA}=${CMAKE_BINARY_DIR}/test-logs/"
      TIMEOUT 240)
endfunction()

# tessel_add_fuzz_target(<name> SOURCES <files>... [LIBS <targets>...])
# Every fuzz target is also built as an ordinary program that replays its corpus
# (fuzz/corpus/<name>/) and its kept crashers (fuzz/regressions/<name>/) as a CTest test, so the
# inputs that once found a fault are checked on every build, with or without clang. With
# TESSEL_BUILD_FUZZ the libFuzzer program fuzz_<name> is built too, and joins fuzz_targets, the one
# target that builds every fuzzer and nothing else (what scripts/test and scripts/fuzz build).
function(tessel_add_fuzz_target name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(TESSEL_BUILD_TESTS)
    add_executable(replay_${name} ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cc)
    target_link_libraries(replay_${name} PRIVATE ${ARG_LIBS})
    target_include_directories(replay_${name} PRIVATE ${PROJECT_SOURCE_DIR})
    add_test(NAME fuzz_replay.${name}
      COMMAND replay_${name}
        ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name} ${PROJECT_SOURCE_DIR}/fuzz/regressions/${name})
    set_tests_properties(fuzz_replay.${name} PROPERTIES
      ENVIRONMENT "{CBB742F7-4EE8-4643-97CD-AB66DF0BAFEA}=${CMAKE_BINARY_DIR}/test-logs/")
  endif()
  if(TESSEL_BUILD_FUZZ)
    add_executable(fuzz_${name} ${ARG_SOURCES})
    target_link_libraries(fuzz_${name} PRIVATE ${ARG_LIBS})
    target_include_directories(fuzz_${name} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    if(NOT TARGET fuzz_targets)
      add_custom_target(fuzz_targets)
    endif()
    add_dependencies(fuzz_targets fuzz_${name})
  endif()
endfunction()
