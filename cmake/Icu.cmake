# ICU's common library, a dependency of both builds.
#
# Natively it is Debian's libicu-dev. Debian ships no MinGW build of ICU, so
# for the Windows build tools/build-icu makes the common library (and the
# empty data library it links against) once from Debian's ICU source package
# into a cache outside the clone; configuring runs it when that cache is
# missing (tools/setup runs it too).
#
# purgekit_icu: what a library links to use ICU's strings.
# purgekit_icu_internal (Windows only): the include folder of the few ICU
#   internal headers that the program's own data-file hook needs.
#
# The Windows common library comes without ICU's own file mapping
# (uprv_mapFile, uprv_unmapFile): the files library provides it and is
# linked after ICU again (purgekit_icu_link_hook).

if(TARGET purgekit_icu)
  return()
endif()

add_library(purgekit_icu INTERFACE)

if(PURGEKIT_WINDOWS)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../tools/build-icu --print-dir
                  OUTPUT_VARIABLE icu_dir OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE icu_rc)
  if(NOT icu_rc EQUAL 0)
    message(FATAL_ERROR "tools/build-icu --print-dir failed: is deb-src for icu enabled "
                        "(tools/setup)?")
  endif()
  set(PURGEKIT_ICU_DIR ${icu_dir} CACHE PATH "ICU built for MinGW by tools/build-icu")
  if(NOT EXISTS ${PURGEKIT_ICU_DIR}/stamp)
    message(STATUS "Building ICU's common library for MinGW once (tools/build-icu)")
    execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../tools/build-icu RESULT_VARIABLE icu_rc)
    if(NOT icu_rc EQUAL 0 OR NOT EXISTS ${PURGEKIT_ICU_DIR}/stamp)
      message(FATAL_ERROR "tools/build-icu failed")
    endif()
  endif()
  file(READ ${PURGEKIT_ICU_DIR}/version PURGEKIT_ICU_VERSION)
  string(STRIP "${PURGEKIT_ICU_VERSION}" PURGEKIT_ICU_VERSION)
  message(STATUS "ICU ${PURGEKIT_ICU_VERSION} for MinGW: ${PURGEKIT_ICU_DIR}")

  add_library(purgekit_icu_data STATIC IMPORTED GLOBAL)
  set_target_properties(purgekit_icu_data PROPERTIES
    IMPORTED_LOCATION ${PURGEKIT_ICU_DIR}/lib/libsicudt.a)
  add_library(purgekit_icu_uc STATIC IMPORTED GLOBAL)
  set_target_properties(purgekit_icu_uc PROPERTIES
    IMPORTED_LOCATION ${PURGEKIT_ICU_DIR}/lib/libsicuuc.a
    INTERFACE_INCLUDE_DIRECTORIES ${PURGEKIT_ICU_DIR}/include
    # The static library's headers must not ask for DLL imports.
    INTERFACE_COMPILE_DEFINITIONS U_STATIC_IMPLEMENTATION
    INTERFACE_LINK_LIBRARIES "purgekit_icu_data;advapi32")
  target_link_libraries(purgekit_icu INTERFACE purgekit_icu_uc)

  add_library(purgekit_icu_internal INTERFACE)
  target_include_directories(purgekit_icu_internal INTERFACE
    ${PURGEKIT_ICU_DIR}/include/icu-internal)
else()
  find_package(ICU REQUIRED COMPONENTS uc)
  target_link_libraries(purgekit_icu INTERFACE ICU::uc)
endif()

# purgekit_icu_link_hook(target): ICU's data lookups call the file mapping
# that `target` (a static library) defines; ICU's library then links that
# target again after itself.
function(purgekit_icu_link_hook target)
  if(PURGEKIT_WINDOWS)
    set_property(TARGET purgekit_icu_uc APPEND PROPERTY INTERFACE_LINK_LIBRARIES ${target})
  endif()
endfunction()
