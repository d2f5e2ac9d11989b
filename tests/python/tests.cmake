# Foreign callers: Python loads the built library with ctypes, one test class a
# row. An instrumented library cannot be loaded into an uninstrumented
# interpreter, hence the label. Reports stay on where the host must survive them.
foreach(class CheckString Glob ErrorTextUtf8)
  add_test(NAME python_${class}
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/ctypes_callers.py
                   $<TARGET_FILE:ZELNUVZubContainers> ${class})
  set_tests_properties(python_${class} PROPERTIES LABELS no-sanitizer)
endforeach()
set_tests_properties(python_ErrorTextUtf8 PROPERTIES ENVIRONMENT ZUB_DISABLE_EXCEPTION_REPORT=1)
