# The traceback tests' module, linked without DWARF (the runtime's objects carry
# some: the link drops it), and with DWARF for the test to load from a copy.
if(WIN32 AND TARGET utt_report_environment_test)
  add_library(utt_traceback_plain_module SHARED ${CMAKE_CURRENT_LIST_DIR}/traceback_module_win32.cpp)
  target_compile_options(utt_traceback_plain_module PRIVATE -g0)
  target_link_options(utt_traceback_plain_module PRIVATE -Wl,--strip-debug)
  add_library(utt_traceback_dwarf_module SHARED ${CMAKE_CURRENT_LIST_DIR}/traceback_module_win32.cpp)
  target_link_libraries(utt_report_environment_test PRIVATE utt_traceback_plain_module)
  add_dependencies(utt_report_environment_test utt_traceback_dwarf_module)
endif()
