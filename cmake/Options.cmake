option(ORBANIX_BUILD_TESTS "Build the GoogleTest suites" ON)
option(ORBANIX_BUILD_BENCH "Build the Google Benchmark programs" ON)
option(ORBANIX_BUILD_GUI "Build the Qt 6 desktop program" ON)
option(ORBANIX_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ORBANIX_WERROR "Treat warnings as errors" OFF)

add_compile_options(-Wall -Wextra)
if(ORBANIX_WERROR)
  add_compile_options(-Werror)
endif()
# Third-party leaks the sanitizer build is told to leave out of its reports.
set(ORBANIX_LSAN_SUPPRESSIONS ${CMAKE_SOURCE_DIR}/cmake/lsan.supp)
if(ORBANIX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# orbanix_library(name [DEPS ...]): the one library of a folder, built from
# every source file in it.
function(orbanix_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# core_tests builds every test labelled "core" (and what they run), so the
# sanitizer build compiles only what it runs.
if(NOT TARGET core_tests)
  add_custom_target(core_tests)
endif()

# orbanix_test(name SOURCES... [DEPS ...] [LABELS ...]): one test executable
# registered with CTest.
function(orbanix_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
                       ENVIRONMENT "TZ=UTC;QT_QPA_PLATFORM=offscreen;LSAN_OPTIONS=suppressions=${ORBANIX_LSAN_SUPPRESSIONS}"
                       WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
  if("core" IN_LIST ARG_LABELS)
    add_dependencies(core_tests ${name})
  endif()
endfunction()

option(ORBANIX_FUZZ "Build the fuzz targets against libFuzzer (clang only)" OFF)

# orbanix_fuzz(name SOURCES... [DEPS ...] [ITERATIONS n]): a fuzz target.
# Always built with the standalone driver and run by CTest with a bounded
# number of inputs (label "core", so the sanitizer build runs it too); with
# clang and ORBANIX_FUZZ=ON also built as a libFuzzer binary <name>_libfuzzer.
function(orbanix_fuzz name)
  cmake_parse_arguments(ARG "" "ITERATIONS" "SOURCES;DEPS" ${ARGN})
  if(NOT ARG_ITERATIONS)
    set(ARG_ITERATIONS 3000)
  endif()
  add_executable(${name} ${ARG_SOURCES} ${CMAKE_SOURCE_DIR}/tests/fuzz_driver/driver.cpp)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  add_test(NAME ${name} COMMAND ${name} ${ARG_ITERATIONS})
  set_tests_properties(${name} PROPERTIES LABELS "core;fuzz" TIMEOUT 600
                       ENVIRONMENT "TZ=UTC;LSAN_OPTIONS=suppressions=${ORBANIX_LSAN_SUPPRESSIONS}")
  add_dependencies(core_tests ${name})
  if(ORBANIX_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_executable(${name}_libfuzzer ${ARG_SOURCES})
    target_include_directories(${name}_libfuzzer PRIVATE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name}_libfuzzer PRIVATE ${ARG_DEPS})
    target_compile_options(${name}_libfuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name}_libfuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
  endif()
endfunction()
