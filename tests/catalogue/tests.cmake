add_executable(catalogue_sweep ${CMAKE_CURRENT_SOURCE_DIR}/catalogue/catalogue_sweep.cpp
                               ${NUVZUB_CATALOGUE_CASES})
add_dependencies(catalogue_sweep NUVZubCatalogueCases)
target_include_directories(catalogue_sweep PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/catalogue
                                                   ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(catalogue_sweep PRIVATE ZELNUVZubContainers GTest::gtest GTest::gtest_main)
gtest_discover_tests(catalogue_sweep DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT ${NUVZUB_DISCOVERY_TIMEOUT})

add_test(NAME catalogue_docs_up_to_date
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/NUVZub/NUVZubExc.m/generate.py
          --data ${PROJECT_SOURCE_DIR}/NUVZub/NUVZubExc.m/data
          --check-docs ${PROJECT_SOURCE_DIR}/docs/exceptions.md)
add_test(NAME catalogue_docs_stale_refused
  COMMAND ${CMAKE_COMMAND}
          "-DTOOL=$<TARGET_FILE:Python3::Interpreter>;${PROJECT_SOURCE_DIR}/NUVZub/NUVZubExc.m/generate.py"
          "-DARGS=--data;${PROJECT_SOURCE_DIR}/NUVZub/NUVZubExc.m/data;--check-docs;${PROJECT_SOURCE_DIR}/README.md"
          -DEXPECT_RC=1 "-DSTDOUT_REGEX=^$" "-DSTDERR_REGEX=README.md is out of date with the catalogue data"
          -P ${CMAKE_CURRENT_SOURCE_DIR}/catalogue/run_tool.cmake)

# zubexc ARGS... -> exit status, and what stdout and stderr must match; ZUBEXC_STDOUT: where
# its output goes (run_tool.cmake's STDOUT).
function(zubexc_test name expect_rc stdout_regex stderr_regex)
  add_test(NAME catalogue_zubexc_${name}
    COMMAND ${CMAKE_COMMAND} "-DTOOL=${CMAKE_CROSSCOMPILING_EMULATOR};$<TARGET_FILE:zubexc>"
            "-DARGS=${ARGN}" -DSTDOUT=${ZUBEXC_STDOUT} -DEXPECT_RC=${expect_rc}
            "-DSTDOUT_REGEX=${stdout_regex}" "-DSTDERR_REGEX=${stderr_regex}"
            -P ${CMAKE_CURRENT_SOURCE_DIR}/catalogue/run_tool.cmake)
endfunction()

zubexc_test(shared_code 0
  "NUVZubExcNoSuchFile\n.*family: *File.*No such file: %s.*NUVZubExcNoSuchForm\n.*family: *Parser" "^$"
  1013)
zubexc_test(derived_class 0
  "NUVZubExcBaseTypeInvalidLevel\n +code: +1598\n.*base: +NUVZubExcTypeFormException.*GetBaseLevel +int"
  "^$" NUVZubExcBaseTypeInvalidLevel)
zubexc_test(substitution_order 0 "substitutes: +GetGuid1, GetGuid2, GetBulkID" "^$" 1050)
zubexc_test(name_part 0 "NUVZubExcNoSuchFile\n.*NUVZubExcNoSuchForm\n" "^$" nosuchf)
zubexc_test(list_family 0 "^1008 +NUVZubExcFileCloseFailed +File\n(.*\n)*1108 +NUVZubExcFileNotOpen +File\n$" "^$"
  --list file)
zubexc_test(list_all 0 "^1001 .*\n1840 [^\n]*\n$" "^$" --list)
zubexc_test(json 0
  "^\\[\n  {\"name\": \"NUVZubExcExtCSetNonEmpty\", .*\"code\": 1836.*{\"name\": \"NUVZubExcNeedManualFunctions\"[^\n]*\"}\n\\]\n$"
  "^$" --json 1836)
zubexc_test(json_escapes 0 "\"message\": \"XML parser encountered the wrong end tag: \\\\\"%s\\\\\", when expecting \\\\\"%s\\\\\"\\\\n At"
  "^$" --json NUVZubExcXMLWrongEndTag)
zubexc_test(unknown_code 1 "^$" "zubexc: no exception class has code 999\n" 999)
zubexc_test(unknown_name 1 "^$" "zubexc: no exception class name contains 'NoSuchThing'\n" NoSuchThing)
zubexc_test(unknown_family 1 "^$" "zubexc: no family 'Nonsense'; families are Association, " --list Nonsense)
zubexc_test(no_arguments 2 "^$" "usage: zubexc" "")
zubexc_test(unknown_option 2 "^$" "^zubexc: unknown option '-x'\nusage: zubexc" -x)
zubexc_test(no_parameters 0 "base: +NUVBasException\n  parameters:  none\n  message:" "^$" 1108)
zubexc_test(help 0 "usage: zubexc.*--list.*--json.*\n3 when the output could not be written" "^$"
  --help)

# Lost output is an error, whatever was found. Not under Wine: its runner takes the tool's
# output through a file of its own, so the tool never meets the full or closed stream.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(outputs full closed)
  set(reasons "No space left on device" "Bad file descriptor")
  foreach(ZUBEXC_STDOUT reason IN ZIP_LISTS outputs reasons)
    set(lost "(^|\n)zubexc: cannot write the output: ${reason}\n$")
    zubexc_test(lost_list_${ZUBEXC_STDOUT} 3 "^$" "${lost}" --list)
    zubexc_test(lost_code_${ZUBEXC_STDOUT} 3 "^$" "${lost}" 1013)
    zubexc_test(lost_json_${ZUBEXC_STDOUT} 3 "^$" "${lost}" --json 1836)
    zubexc_test(lost_not_found_after_output_${ZUBEXC_STDOUT} 3 "^$" "${lost}" 1013 999)
  endforeach()
  # Nothing written, nothing lost: the status stays the query's own.
  set(ZUBEXC_STDOUT closed)
  zubexc_test(closed_nothing_written 1 "^$" "^zubexc: no exception class has code 999\n$" 999)
endif()

# The generator's output for tricky data, compiled into a test.
set(probe_out ${CMAKE_CURRENT_BINARY_DIR}/generator_probe)
add_custom_command(
  OUTPUT ${probe_out}/src/NUVZubExcProbe.cpp ${probe_out}/include/NUVZub/NUVZubExcProbe.h
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/NUVZub/NUVZubExc.m/generate.py
          --data ${CMAKE_CURRENT_SOURCE_DIR}/catalogue/generator_data --out ${probe_out}
  DEPENDS ${PROJECT_SOURCE_DIR}/NUVZub/NUVZubExc.m/generate.py
          ${CMAKE_CURRENT_SOURCE_DIR}/catalogue/generator_data/Probe.toml)
add_executable(catalogue_generator_bytes ${CMAKE_CURRENT_SOURCE_DIR}/catalogue/generator_bytes.cpp
                                         ${probe_out}/src/NUVZubExcProbe.cpp)
target_include_directories(catalogue_generator_bytes PRIVATE ${probe_out}/include)
# The probe's classes are declared for export but live in the test: not imported from the DLL.
if(WIN32)
  target_compile_definitions(catalogue_generator_bytes PRIVATE ZELNUVZubContainers_EXPORTS)
endif()
target_link_libraries(catalogue_generator_bytes PRIVATE ZELNUVZubContainers GTest::gtest GTest::gtest_main)
gtest_discover_tests(catalogue_generator_bytes DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT ${NUVZUB_DISCOVERY_TIMEOUT})

set(hostile ${CMAKE_CURRENT_SOURCE_DIR}/catalogue/generator_hostile.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${hostile})
file(STRINGS ${hostile} cases REGEX "^== ")
list(TRANSFORM cases REPLACE "^== ([a-z_]+) .*" "\\1")
list(REMOVE_DUPLICATES cases)
foreach(case IN LISTS cases)
  add_test(NAME catalogue_generator_refuses_${case}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/catalogue/generator_refuses.py
            ${PROJECT_SOURCE_DIR}/NUVZub/NUVZubExc.m/generate.py ${hostile}
            ${CMAKE_CURRENT_BINARY_DIR}/generator_hostile ${case})
endforeach()
