# What the tests need on Windows: GoogleTest built from Debian's sources
# (no MinGW build of it is packaged), the suite of what only Windows does,
# the manifest (the tests open and start programs by UTF-8 names) and the
# version library (they read the tool's version resource).
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest/googletest ${CMAKE_CURRENT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# GoogleTest is not ours: it keeps its own warnings.
set_property(TARGET gtest gtest_main PROPERTY COMPILE_OPTIONS "")
set(GALLIVOX_PLATFORM_SUPPORT bitmap_win32.cpp)
set(GALLIVOX_PLATFORM_TESTS windows_test.cpp provider_test.cpp "${GALLIVOX_MANIFEST_RC}")
set(GALLIVOX_PLATFORM_TEST_LIBRARIES version ole32 oleaut32 propsys shlwapi uuid)

function(gallivox_add_tests)
  # The provider's host tests load the DLL built beside the tool.
  target_compile_definitions(gallivox_tests PRIVATE GALLIVOX_THUMBNAIL_DLL="$<TARGET_FILE:gallivox_thumbnail>")
  add_dependencies(gallivox_tests gallivox_thumbnail)
  # The Windows suite under Wine, once under a Western and once under a
  # Japanese code page, which Wine takes from LANG. The two locales are built
  # into the build tree with localedef and found through LOCPATH; the
  # machine's own locale settings are never touched.
  find_program(LOCALEDEF localedef REQUIRED)
  set(LOCALE_DIR "${PROJECT_BINARY_DIR}/locales")
  set(LOCALE_FILES)
  foreach(locale en_US ja_JP)
    set(stamp "${LOCALE_DIR}/${locale}.UTF-8/LC_CTYPE")
    # localedef exits 1 on mere warnings about the sources; the locale is there.
    add_custom_command(OUTPUT "${stamp}"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${LOCALE_DIR}"
      COMMAND sh -c "'${LOCALEDEF}' -i ${locale} -f UTF-8 '${LOCALE_DIR}/${locale}.UTF-8' || test -f '${stamp}'"
      COMMENT "Building the ${locale}.UTF-8 locale for Wine")
    list(APPEND LOCALE_FILES "${stamp}")
  endforeach()
  add_custom_target(wine_locales ALL DEPENDS ${LOCALE_FILES})

  # code page name, locale, the locale's own ANSI code page
  foreach(row western:en_US.UTF-8:1252 japanese:ja_JP.UTF-8:932)
    string(REPLACE ":" ";" entry ${row})
    list(GET entry 0 name)
    list(GET entry 1 locale)
    list(GET entry 2 code_page)
    # One CTest entry each: every start of a program under Wine costs a second.
    add_test(NAME gallivox_tests_${name} COMMAND gallivox_tests)
    set_tests_properties(gallivox_tests_${name} PROPERTIES
      ENVIRONMENT "LOCPATH=${LOCALE_DIR};LANG=${locale};LC_ALL=${locale};GALLIVOX_LOCALE_CODE_PAGE=${code_page}")
  endforeach()

  # A host that asks COM for the installed classes by their IDs alone.
  add_executable(com_host com_host.cpp)
  target_link_libraries(com_host PRIVATE gallivox_lib test_support ole32 oleaut32 propsys shlwapi uuid)
  # The installer, when tools/build_windows.sh --release has made it:
  # installed silently over a build of a lower version, checked, its
  # classes asked for through COM, and uninstalled, in a Wine prefix of its own.
  add_test(NAME installer
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/check_installer.sh "${PROJECT_BINARY_DIR}/gallivox-${PROJECT_VERSION}-windows-x64.msi"
            "${CMAKE_CROSSCOMPILING_EMULATOR}" "${PROJECT_SOURCE_DIR}" "${PROJECT_BINARY_DIR}" $<TARGET_FILE:com_host>)
  set_tests_properties(installer PROPERTIES SKIP_RETURN_CODE 77)

  # The release zip, when tools/build_windows.sh --release has made it:
  # unpacked and run on the bundled sample.
  add_test(NAME release_zip
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/check_release.sh "${PROJECT_BINARY_DIR}/gallivox-${PROJECT_VERSION}-windows-x64.zip"
            "${CMAKE_CROSSCOMPILING_EMULATOR}" "${PROJECT_SOURCE_DIR}")
  set_tests_properties(release_zip PROPERTIES SKIP_RETURN_CODE 77)
endfunction()
