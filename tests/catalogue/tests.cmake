# The catalogue: the table-driven sweep over generated sample cases, the
# reference page's freshness, and the zubexc lookup tool.
add_executable(catalogue_sweep ${CMAKE_CURRENT_SOURCE_DIR}/catalogue/catalogue_sweep.cpp
                               ${NUVZUB_CATALOGUE_CASES})
add_dependencies(catalogue_sweep NUVZubCatalogueCases)
target_include_directories(catalogue_sweep PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/catalogue)
target_link_libraries(catalogue_sweep PRIVATE ZELNUVZubContainers GTest::gtest GTest::gtest_main)
gtest_discover_tests(catalogue_sweep DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT ${NUVZUB_DISCOVERY_TIMEOUT})

add_test(NAME catalogue_docs_up_to_date
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/NUVZub/NUVZubExc.m/generate.py
          --data ${PROJECT_SOURCE_DIR}/NUVZub/NUVZubExc.m/data
          --check-docs ${PROJECT_SOURCE_DIR}/docs/exceptions.md)

# zubexc ARGS... -> exit status, and what stdout and stderr must match.
function(zubexc_test name expect_rc stdout_regex stderr_regex)
  add_test(NAME catalogue_zubexc_${name}
    COMMAND ${CMAKE_COMMAND} "-DTOOL=${CMAKE_CROSSCOMPILING_EMULATOR};$<TARGET_FILE:zubexc>" "-DARGS=${ARGN}"
            -DEXPECT_RC=${expect_rc} "-DSTDOUT_REGEX=${stdout_regex}"
            "-DSTDERR_REGEX=${stderr_regex}"
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
  "^\\[\n  {\"name\": \"NUVZubExcExtCSetNonEmpty\", .*\"code\": 1836.*{\"name\": \"NUVZubExcNeedManualFunctions\""
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

# Output that was lost is an error, whatever was found: a full device, or a
# standard output closed from the start. Not under Wine: its runner takes the
# tool's output through a file of its own, so the tool never meets the device
# or the closed stream that the test sets up.
function(zubexc_output_lost name stdout reason)
  add_test(NAME catalogue_zubexc_lost_${name}_${stdout}
    COMMAND ${CMAKE_COMMAND} "-DTOOL=${CMAKE_CROSSCOMPILING_EMULATOR};$<TARGET_FILE:zubexc>" "-DARGS=${ARGN}"
            -DSTDOUT=${stdout} -DEXPECT_RC=3 "-DSTDOUT_REGEX=^$"
            "-DSTDERR_REGEX=(^|\n)zubexc: cannot write the output: ${reason}\n$"
            -P ${CMAKE_CURRENT_SOURCE_DIR}/catalogue/run_tool.cmake)
endfunction()
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  foreach(stdout_reason "full|No space left on device" "closed|Bad file descriptor")
    string(REPLACE "|" ";" stdout_reason "${stdout_reason}")
    list(GET stdout_reason 0 stdout)
    list(GET stdout_reason 1 reason)
    zubexc_output_lost(list ${stdout} ${reason} --list)
    zubexc_output_lost(code ${stdout} ${reason} 1013)
    zubexc_output_lost(json ${stdout} ${reason} --json 1836)
    zubexc_output_lost(not_found_after_output ${stdout} ${reason} 1013 999)
  endforeach()
  # Nothing written, nothing lost: a stdout closed from the start fails only its
  # close, and the status stays the query's own.
  add_test(NAME catalogue_zubexc_closed_nothing_written
    COMMAND ${CMAKE_COMMAND} "-DTOOL=$<TARGET_FILE:zubexc>" -DARGS=999 -DSTDOUT=closed -DEXPECT_RC=1
            "-DSTDOUT_REGEX=^$" "-DSTDERR_REGEX=^zubexc: no exception class has code 999\n$"
            -P ${CMAKE_CURRENT_SOURCE_DIR}/catalogue/run_tool.cmake)
endif()

# The generator's escapes, byte for byte: a small data file generated at build
# time and compiled into a test.
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
# The probe's classes are declared for export, as the library's own, yet live
# in the test program: on Windows they must not be imported from the DLL (the
# library's functions still link through its import library).
if(WIN32)
  target_compile_definitions(catalogue_generator_bytes PRIVATE ZELNUVZubContainers_EXPORTS)
endif()
target_link_libraries(catalogue_generator_bytes PRIVATE ZELNUVZubContainers GTest::gtest GTest::gtest_main)
gtest_discover_tests(catalogue_generator_bytes DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT ${NUVZUB_DISCOVERY_TIMEOUT})

# Hostile data, each directory of generator_hostile refused with one line
# naming the file, the class and the rule (a regex), and exit status 1: no
# traceback, and nothing generated that would not compile.
function(generator_refuses case message)
  set(data ${CMAKE_CURRENT_SOURCE_DIR}/catalogue/generator_hostile/${case})
  add_test(NAME catalogue_generator_refuses_${case}
    COMMAND ${CMAKE_COMMAND} "-DTOOL=${Python3_EXECUTABLE}"
            "-DARGS=${PROJECT_SOURCE_DIR}/NUVZub/NUVZubExc.m/generate.py;--data;${data};--out;${CMAKE_CURRENT_BINARY_DIR}/generator_hostile/${case}"
            -DEXPECT_RC=1 "-DSTDOUT_REGEX=^$"
            "-DSTDERR_REGEX=^generate.py: [^\n]*/generator_hostile/${case}/${message}[^\n]*\n$"
            -P ${CMAKE_CURRENT_SOURCE_DIR}/catalogue/run_tool.cmake)
endfunction()

set(class_name_rule "a class name is NUVZubExc followed by ASCII letters and digits")
set(getter_rule "is not Get followed by a capital letter, then letters, digits and single underscores")
generator_refuses(space_in_name "Names.toml: class 'NUVZubExcBad Name': ${class_name_rule}")
generator_refuses(reserved_class
  "Names.toml: class NUVZubExcTable: the name is taken by the library's own catalogue type")
generator_refuses(duplicate_class
  "Beta.toml: class NUVZubExcTwice: defined twice; it is also at [^\n]*/duplicate_class/Alpha.toml")
generator_refuses(bare_getter "Getters.toml: class NUVZubExcBareGetter: getter 'Get' ${getter_rule}")
generator_refuses(getter_with_space
  "Getters.toml: class NUVZubExcSpacedGetter: getter 'GetForm name' ${getter_rule}")
generator_refuses(getter_reserved
  "Getters.toml: class NUVZubExcCodeGetter: getter GetCode would clash with the member")
generator_refuses(getter_twice "Getters.toml: class NUVZubExcGetterTwice: parameter GetName is listed twice")
generator_refuses(unknown_type "Types.toml: class NUVZubExcLongParam: GetSize: unknown parameter type 'long'")
generator_refuses(capacity_zero
  "Types.toml: class NUVZubExcEmptyField: GetName: a text field's capacity is one of 10, 32, 64, 1024, not 0")
generator_refuses(capacity_absurd
  "Types.toml: class NUVZubExcHugeField: GetName: a text field's capacity is one of 10, 32, 64, 1024, not 1000000000")
generator_refuses(ten_params "Types.toml: class NUVZubExcTenParams: 10 parameters; a message takes at most 9 values")
generator_refuses(order_incomplete
  "Types.toml: class NUVZubExcShortOrder: order must list every parameter's getter once")
generator_refuses(base_unknown "Bases.toml: class NUVZubExcOrphan: unknown base NUVZubExcNoSuchBase")
generator_refuses(base_itself
  "Bases.toml: class NUVZubExcOwnBase: its bases form a cycle: NUVZubExcOwnBase -> NUVZubExcOwnBase")
generator_refuses(base_cycle
  "Bases.toml: class NUVZubExcFirst: its bases form a cycle: NUVZubExcFirst -> NUVZubExcSecond -> NUVZubExcFirst")
generator_refuses(family_cycle
  "Alpha.toml: class NUVZubExcAlphaDerived: derives from NUVZubExcBetaBase of family Beta, and the families derive from each other \\(Alpha -> Beta -> Alpha\\)")
generator_refuses(duplicate_code
  "Codes.toml: class NUVZubExcFirst: code 1001 is also NUVZubExcSecond's; a code is unique unless")
generator_refuses(shares_code_with_stranger
  "Codes.toml: class NUVZubExcFirst: shares_code_with names NUVZubExcSecond, which does not have code 1001")
generator_refuses(code_out_of_range
  "Codes.toml: class NUVZubExcFarCode: code 9001 is not a whole number from 1001 to 1840")
generator_refuses(code_as_text
  "Codes.toml: class NUVZubExcTextCode: code '1001' is not a whole number from 1001 to 1840")
generator_refuses(unknown_key "Keys.toml: class NUVZubExcMisspelt: unknown key 'bsae'")
generator_refuses(nul_in_message
  "Messages.toml: class NUVZubExcNul: the message holds a NUL character, at which C would cut it")
generator_refuses(escape_in_message
  "Messages.toml: class NUVZubExcEscape: the message holds the control character U\\+001B")
generator_refuses(carriage_return_in_message
  "Messages.toml: class NUVZubExcReturn: the message holds the control character U\\+000D")
generator_refuses(delete_in_message
  "Messages.toml: class NUVZubExcDelete: the message holds the control character U\\+007F")
generator_refuses(base_not_text "Bases.toml: class NUVZubExcNumberBase: base must be a class name")
generator_refuses(params_not_pairs
  "Types.toml: class NUVZubExcHalfPair: params must be a list of \\[getter, type\\] pairs of texts")
generator_refuses(title_two_lines "Titles.toml: title must be one line of text")
generator_refuses(family_not_file "Named.toml: family Other must be named as its file, Named")
generator_refuses(family_reserved
  "Catalogue.toml: family Catalogue would take the name of another generated file")
generator_refuses(no_classes "Empty.toml: a data file lists its classes, at least one")
generator_refuses(not_toml "Broken.toml: is not valid TOML: ")
