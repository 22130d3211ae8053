# One static library per source folder. Sources are picked up by glob so that adding a file needs
# no CMake edit; `*_test.cpp` files form the folder's test executable, `*_bench.cpp` files are left
# to bench/.

function(tessaline_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
  # GCC 12 reports std::variant and std::optional moves as maybe-uninitialized at -O2 (a known
  # false positive of its inliner); the warning stays on for clang.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
    # GCC 12 at -O3 reports std::string concatenation (char_traits::copy) as an overlapping
    # memcpy in many places (its bug 105651, fixed in 13): off for that version only.
    if(CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
    # A unity build (./test builds so) compiles several sources as one, so a class that keeps an
    # anonymous-namespace type of its own source looks to GCC as if it were declared in a header.
    if(CMAKE_UNITY_BUILD)
      target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wno-subobject-linkage>)
    endif()
  endif()
endfunction()

# tessaline_fuzz_target(<name> DEPS <libs>... [DEFINITIONS <defs>...]): a fuzz target from
# <name>.cpp in the current folder, with seeds in corpus/<name>/ and crash inputs worth keeping in
# crashes/<name>/. With TESSALINE_FUZZ it is a libFuzzer program (scripts/fuzz runs it); otherwise
# it is <name>_replay, which runs the entry point over the seeds and crash inputs, as a test.
function(tessaline_fuzz_target name)
  cmake_parse_arguments(F "" "" "DEPS;DEFINITIONS" ${ARGN})
  set(_source ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp)
  if(TESSALINE_FUZZ)
    set(_target ${name})
    add_executable(${_target} ${_source})
    target_compile_options(${_target} PRIVATE -fsanitize=fuzzer)
    target_link_options(${_target} PRIVATE -fsanitize=fuzzer)
  else()
    set(_target ${name}_replay)
    add_executable(${_target} ${_source} ${PROJECT_SOURCE_DIR}/testkit/fuzz/FuzzReplayMain.cpp)
    add_test(NAME ${_target}
      COMMAND ${_target} ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name}
              ${CMAKE_CURRENT_SOURCE_DIR}/crashes/${name})
    set_tests_properties(${_target} PROPERTIES TIMEOUT 300 LABELS replay)
  endif()
  target_link_libraries(${_target} PRIVATE ${F_DEPS})
  target_compile_definitions(${_target} PRIVATE ${F_DEFINITIONS})
  tessaline_warnings(${_target})
endfunction()

# tessaline_test_resources(<target> <folder>): the resource folder a test program reads when
# TESSALINE_RESOURCES is not set (testkit/main/TestResources.h). Every program that links
# testkit_main names one, so that it passes run by hand from any folder as it does under ctest.
function(tessaline_test_resources target folder)
  set(_source ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp)
  file(CONFIGURE OUTPUT ${_source} @ONLY CONTENT
"// Written by tessaline_test_resources() in cmake/Tessaline.cmake.
#include \"testkit/main/TestResources.h\"

const char* const testkit::kTestResources = R\"folder(@folder@)folder\";
")
  target_sources(${target} PRIVATE ${_source})
endfunction()

# tessaline_module(<target> [DEPS <libs>...] [TEST_DEPS <libs>...])
function(tessaline_module name)
  cmake_parse_arguments(M "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB _all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  set(_src ${_all})
  list(FILTER _src EXCLUDE REGEX "_test\\.cpp$")
  set(_tests ${_all})
  list(FILTER _tests INCLUDE REGEX "_test\\.cpp$")

  if(_src)
    add_library(${name} STATIC ${_src})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
    target_link_libraries(${name} PUBLIC ${M_DEPS})
    tessaline_warnings(${name})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
    target_link_libraries(${name} INTERFACE ${M_DEPS})
  endif()

  if(_tests)
    add_executable(${name}_test ${_tests})
    target_link_libraries(${name}_test PRIVATE ${name} ${M_TEST_DEPS} testkit GTest::gmock testkit_main)
    tessaline_warnings(${name}_test)
    # Engine tests run against the app's Info.plist alone: the app's bundle also holds the
    # service property list, which would configure every test's service with the app's
    # identifiers.
    if(CMAKE_CURRENT_SOURCE_DIR MATCHES "/engine/")
      set(_bundle ${PROJECT_BINARY_DIR}/engine-test-bundle)
      configure_file(${PROJECT_SOURCE_DIR}/app/resources/Info.plist ${_bundle}/Info.plist COPYONLY)
      tessaline_test_resources(${name}_test ${_bundle})
    else()
      tessaline_test_resources(${name}_test ${PROJECT_SOURCE_DIR}/app/resources)
    endif()
    # Every test is labelled "unit". Test suites named for concurrency ("...Concurrent...",
    # "...Concurrency...") are also labelled "concurrent", and those of resets and the life cycle
    # ("...Reset...", "...LifeCycle...") "lifecycle": scripts/tsan runs those again and again.
    # gtest_discover_tests cannot pass a list as a property value, so the labels are set by a
    # file that ctest reads after the discovered tests.
    # The timeout only ends a test that hangs: sanitizer builds on a loaded two-core machine take
    # several times as long as a quiet Release run, which stays far below it.
    set(_concurrent "*Concurren*")
    set(_lifecycle "*Reset*.*:*LifeCycle*.*")
    gtest_discover_tests(${name}_test
      TEST_FILTER "-${_concurrent}:${_lifecycle}"
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT 300 LABELS unit)
    foreach(_label concurrent lifecycle)
      if(_label STREQUAL "concurrent")
        set(_filter "${_concurrent}")
      else()
        set(_filter "${_lifecycle}-${_concurrent}")
      endif()
      gtest_discover_tests(${name}_test
        TEST_FILTER "${_filter}"
        TEST_LIST ${name}_${_label}_tests
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT 300)
    endforeach()
    set(_labels "${CMAKE_CURRENT_BINARY_DIR}/${name}_test_labels.cmake")
    file(WRITE "${_labels}" "")
    foreach(_label concurrent lifecycle)
      file(APPEND "${_labels}"
        "if(${name}_${_label}_tests)\n"
        "  set_tests_properties(\${${name}_${_label}_tests} PROPERTIES LABELS \"unit;${_label}\")\n"
        "endif()\n")
    endforeach()
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${_labels}")
  endif()
endfunction()
