# What the tests need on POSIX systems: Debian's GoogleTest, the catalogue
# of hostile places, the layers over pipes made with fopencookie, and the
# CTest entries below.
find_package(GTest REQUIRED)
include(GoogleTest)
set(GALLIVOX_PLATFORM_SUPPORT)
set(GALLIVOX_PLATFORM_TESTS catalogue_test.cpp layer_test.cpp)
set(GALLIVOX_PLATFORM_TEST_LIBRARIES)

function(gallivox_add_tests)
  gtest_discover_tests(gallivox_tests DISCOVERY_TIMEOUT 60)

  # The bundled sample must be exactly what its generator draws today.
  add_test(NAME sample_is_current
    COMMAND ${CMAKE_COMMAND} -DGENERATOR=$<TARGET_FILE:make_sample_icn>
            -DSAMPLE=${PROJECT_SOURCE_DIR}/samples/sample.icn
            -DBANNER=${PROJECT_SOURCE_DIR}/samples/sample_dsi.bnr
            -DSCRATCH=${CMAKE_CURRENT_BINARY_DIR}/sample_check.icn
            -P ${CMAKE_CURRENT_SOURCE_DIR}/check_sample.cmake)

  # A sample of the command-line cases again with every run of the tool under
  # memcheck, for what only it catches (reads of bytes never written): each
  # form and command, every container and layer, the DS family and failures.
  # Any invalid access or leak makes the tool exit 99 and the case fail. The
  # sanitizer build runs every case; this sample keeps the pass under a minute.
  find_program(VALGRIND valgrind)
  if(VALGRIND AND NOT GALLIVOX_SANITIZE)
    add_test(NAME command_line_memcheck
      COMMAND gallivox_tests --gtest_filter=CommandLine.ArgumentForms:CommandLine.BadInputs:Containers.OneArgumentAndBatch:Info.ContainersFailuresAndNames:Info.DsBanners)
    set_tests_properties(command_line_memcheck PROPERTIES
      ENVIRONMENT "GALLIVOX_TEST_WRAPPER=${VALGRIND} --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=definite,indirect,possible"
      TIMEOUT 300 COST 1000)
  endif()

  # The batch suites again on one worker, as every batch ran before workers,
  # and on more workers than this machine has cores.
  foreach(workers 1 5)
    add_test(NAME batch_on_${workers}_workers COMMAND gallivox_tests --gtest_filter=*Batch*)
    set_tests_properties(batch_on_${workers}_workers PROPERTIES ENVIRONMENT GALLIVOX_JOBS=${workers})
  endforeach()

  # Installs into a scratch prefix, runs what was installed and renders its
  # man page.
  add_test(NAME install_and_run
    COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR} -DSCRATCH=${CMAKE_CURRENT_BINARY_DIR}/install-check
            -DSAMPLE=${PROJECT_SOURCE_DIR}/samples/sample.icn -P ${CMAKE_CURRENT_SOURCE_DIR}/check_install.cmake)
  set_tests_properties(install_and_run PROPERTIES RUN_SERIAL TRUE)

  # README and docs/: every link leads somewhere, and How it works lists the
  # modules by the floors their includes make.
  add_test(NAME docs_hold_together COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/check_docs.py ${PROJECT_SOURCE_DIR})

  # README's launcher recipes, as printed there, on a fresh home laid out as
  # each launcher's documentation describes.
  add_test(NAME launcher_recipes
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/recipes_test.sh $<TARGET_FILE:gallivox>
            ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/samples/sample.icn)

  # What a run leaves on disk when killed at each system call, when calls fail,
  # when runs race on one name, in a read-only directory, and from a pipe; and
  # a batch of 2,000 files with room for 32 descriptors.
  foreach(section kills errors pairs readonly pipes batch)
    add_test(NAME replace_${section}
      COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/replace_test.sh $<TARGET_FILE:gallivox>
              ${PROJECT_SOURCE_DIR}/samples/sample.icn ${section})
    set_tests_properties(replace_${section} PROPERTIES SKIP_RETURN_CODE 77)
  endforeach()
  # The longest ones first, so that the short ones fill the other core.
  foreach(section kills pairs batch)
    set_tests_properties(replace_${section} PROPERTIES COST 500)
  endforeach()
endfunction()
