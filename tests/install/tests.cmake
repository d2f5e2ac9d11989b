# The installed package serves a client that finds it with find_package.
add_test(NAME install.consumer
  COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR}
          -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install-check
          -DSOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}/install
          # Windows: cross-built with the same toolchain, run in the build's Wine prefix.
          -DTOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
          "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
          -DWINE_PREFIX=${NUVZUB_WINE_PREFIX}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/install/check_install.cmake)
# A sanitized build cannot link a plain consumer.
set_tests_properties(install.consumer PROPERTIES LABELS no-sanitizer)
