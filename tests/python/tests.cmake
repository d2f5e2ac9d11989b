# A foreign caller: Python loads the built library with ctypes. An instrumented
# library cannot be loaded into an uninstrumented interpreter, hence the label.
add_test(NAME python_check_string
         COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/check_string.py
                 $<TARGET_FILE:ZELNUVZubContainers>)
set_tests_properties(python_check_string PROPERTIES LABELS no-sanitizer)
add_test(NAME python_glob_ctypes
         COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/glob_ctypes.py
                 $<TARGET_FILE:ZELNUVZubContainers>)
set_tests_properties(python_glob_ctypes PROPERTIES LABELS no-sanitizer ENVIRONMENT ZUB_DISABLE_EXCEPTION_REPORT=1)
add_test(NAME python_error_text_utf8
         COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/error_text_utf8.py
                 $<TARGET_FILE:ZELNUVZubContainers>)
set_tests_properties(python_error_text_utf8 PROPERTIES LABELS no-sanitizer ENVIRONMENT ZUB_DISABLE_EXCEPTION_REPORT=1)
add_test(NAME python_resource_monitor_ctypes
         COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/resource_monitor_ctypes.py
                 $<TARGET_FILE:ZELNUVZubContainers>)
set_tests_properties(python_resource_monitor_ctypes PROPERTIES LABELS no-sanitizer)
