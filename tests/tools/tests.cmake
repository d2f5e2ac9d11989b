# zubexc triage, run as a support engineer runs it, on logs written by a probe
# that raises reports in both forms (through the emulator on Windows).
add_executable(tools_report_probe ${CMAKE_CURRENT_LIST_DIR}/report_probe.cpp)
target_link_libraries(tools_report_probe PRIVATE ZELNUVZubContainers)

foreach(case mixed processes unreadable standard_input)
  add_test(NAME tools_triage_${case}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/triage_check.py ${case}
            ${CMAKE_CURRENT_BINARY_DIR}/tools_triage_${case} $<TARGET_FILE:zubexc>
            $<TARGET_FILE:tools_report_probe> ${CMAKE_CROSSCOMPILING_EMULATOR})
endforeach()
