# Build-wide settings and the helpers every subsystem uses to declare its
# libraries and tests in both builds.

option(PURGEKIT_SANITIZE "Build with AddressSanitizer and UBSan" OFF)
option(PURGEKIT_TSAN "Build with ThreadSanitizer (not together with PURGEKIT_SANITIZE)" OFF)
option(PURGEKIT_LIBFUZZER "Build only the fuzz targets, with clang's libFuzzer" OFF)

if(WIN32)
  set(PURGEKIT_WINDOWS ON)
else()
  set(PURGEKIT_WINDOWS OFF)
endif()

add_compile_options(-Wall -Wextra -Wno-unused-parameter)

if(PURGEKIT_WINDOWS)
  # Unicode Win32 and a Windows XP floor for the SDK headers' view.
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                          _WIN32_WINNT=0x0501 WINVER=0x0501)
  # The program needs no DLL beside Windows' own.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

if(PURGEKIT_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(PURGEKIT_TSAN)
  if(PURGEKIT_SANITIZE)
    message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

option(PURGEKIT_FUZZ_HARNESS_ONLY
       "Fuzz build: instrument only the harnesses, not the libraries (for comparison)" OFF)
if(PURGEKIT_LIBFUZZER AND NOT PURGEKIT_FUZZ_HARNESS_ONLY)
  # Every library of the fuzz build carries libFuzzer's coverage
  # instrumentation, so that the fuzzer is guided by the code under test and
  # not only by its harness; the harnesses also link the fuzzer's own main
  # (purgekit_fuzz).
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# GoogleTest: Debian's build natively, Debian's sources for MinGW.
if(BUILD_TESTING)
  if(PURGEKIT_WINDOWS)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(t gtest gtest_main gmock)
      if(NOT TARGET GTest::${t})
        add_library(GTest::${t} ALIAS ${t})
      endif()
    endforeach()
  else()
    find_package(GTest REQUIRED)
    include(GoogleTest)
  endif()
endif()

if(PURGEKIT_WINDOWS AND CMAKE_CROSSCOMPILING)
  # Tests run under Wine in a private prefix inside the build tree.
  set(PURGEKIT_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_SOURCE_DIR}/tools/wine-exec;--prefix;${PURGEKIT_WINEPREFIX})
  if(BUILD_TESTING)
    add_test(NAME wine_start
             COMMAND ${CMAKE_SOURCE_DIR}/tools/wine-prefix ${PURGEKIT_WINEPREFIX} --start)
    set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine)
    add_test(NAME wine_stop
             COMMAND ${CMAKE_SOURCE_DIR}/tools/wine-prefix ${PURGEKIT_WINEPREFIX} --stop)
    set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)
  endif()
endif()

# purgekit_test(NAME name SOURCES ... LIBS ...)
# One executable per library's tests. Natively every test case is its own
# ctest entry; under Wine one process runs the whole executable, since each
# process start costs far more there.
function(purgekit_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT BUILD_TESTING)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  if(PURGEKIT_WINDOWS)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine
                         TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  else()
    gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  endif()
endfunction()

# purgekit_library(name [PORTABLE src...] [WINDOWS src...] [LIBS ...])
# Portable sources build in both builds; Windows sources only in the product.
function(purgekit_library name)
  cmake_parse_arguments(L "" "" "PORTABLE;WINDOWS;LIBS;WINLIBS" ${ARGN})
  set(srcs ${L_PORTABLE})
  if(PURGEKIT_WINDOWS)
    list(APPEND srcs ${L_WINDOWS})
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(${name} PUBLIC ${L_LIBS})
  if(PURGEKIT_WINDOWS)
    target_link_libraries(${name} PUBLIC ${L_WINLIBS})
  endif()
endfunction()

# purgekit_fuzz(NAME name SOURCES ... LIBS ... [RUNS n])
# A libFuzzer-style target (LLVMFuzzerTestOneInput). In the native build it
# links a small driver that replays its seeds and a bounded number of mutated
# inputs, so that every test run fuzzes briefly under the sanitizers (keep
# each under half a minute on one core: long runs belong to bench/fuzz/run);
# the "fuzz" preset builds the same sources with clang's libFuzzer for long
# runs.
function(purgekit_fuzz)
  cmake_parse_arguments(F "" "NAME;RUNS;SEEDS" "SOURCES;LIBS" ${ARGN})
  if(PURGEKIT_WINDOWS OR NOT (BUILD_TESTING OR PURGEKIT_LIBFUZZER))
    return()
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  if(PURGEKIT_LIBFUZZER)
    target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
    target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
    return()
  endif()
  target_sources(${F_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/fuzz_driver.cpp)
  if(NOT F_RUNS)
    set(F_RUNS 20000)
  endif()
  set(args -runs=${F_RUNS})
  if(F_SEEDS)
    list(APPEND args ${CMAKE_CURRENT_SOURCE_DIR}/${F_SEEDS})
  endif()
  add_test(NAME ${F_NAME} COMMAND ${F_NAME} ${args})
  set_tests_properties(${F_NAME} PROPERTIES LABELS fuzz TIMEOUT 600)
endfunction()

# purgekit_subsystem(name [LIBS ...] [WINLIBS ...])
# The usual shape of a subsystem folder: portable sources in src/, Windows
# sources in src/win/, headers in include/, tests in tests/ (both builds) and
# tests/win/ (Windows only), fuzz targets in fuzz/ (one file each, seeds in
# fuzz/<name>.seeds/ when present; a variable <lib>_<name>_RUNS set before the
# call gives that target a longer run).
function(purgekit_subsystem name)
  cmake_parse_arguments(S "" "" "LIBS;WINLIBS;TESTLIBS" ${ARGN})
  file(GLOB portable CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  file(GLOB windows CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/win/*.cpp)
  purgekit_library(${name} PORTABLE ${portable} WINDOWS ${windows}
                   LIBS ${S_LIBS} WINLIBS ${S_WINLIBS})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  if(PURGEKIT_WINDOWS)
    file(GLOB wintests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/win/*.cpp)
    list(APPEND tests ${wintests})
  endif()
  if(tests)
    purgekit_test(NAME ${name}_tests SOURCES ${tests} LIBS ${name} ${S_TESTLIBS})
  endif()
  file(GLOB fuzzers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/*_fuzz.cpp)
  foreach(f ${fuzzers})
    get_filename_component(fname ${f} NAME_WE)
    set(seeds)
    set(runs)
    # A subsystem may ask for a longer run of one target: <lib>_<fuzzer>_RUNS.
    if(DEFINED ${name}_${fname}_RUNS)
      set(runs RUNS ${${name}_${fname}_RUNS})
    endif()
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/${fname}.seeds)
      set(seeds SEEDS fuzz/${fname}.seeds)
    endif()
    # The fuzz targets share the tests' support libraries (disks in memory).
    purgekit_fuzz(NAME ${name}_${fname} SOURCES ${f} LIBS ${name} ${S_TESTLIBS} ${seeds} ${runs})
  endforeach()
endfunction()
