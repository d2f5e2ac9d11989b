# Installs BUILD_DIR into a fresh prefix under WORK_DIR, then builds and runs the consumer.
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix
                COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
# Windows (TOOLCHAIN_FILE): the DLLs, Expat's too, and the tool in bin, import libraries in lib.
set(installed include/NUVZub/NUVZubContainers.h include/NUVZub/NUVZubContainersC.h
    lib/pkgconfig/NUVZubContainers.pc lib/cmake/NUVZubContainers/NUVZubContainersConfig.cmake)
set(exe "")
if(TOOLCHAIN_FILE)
  set(exe .exe)
  foreach(library ZELNUVZubContainers ZELNUVBasCoreUtils ZELNUVBasAlloc ZELNUVBasShared
                  ZELNUVBasXmlParser ZELNUVBasGenericsLib)
    list(APPEND installed bin/${library}.dll lib/lib${library}.dll.a)
  endforeach()
  list(APPEND installed bin/zubexc.exe bin/libexpat-1.dll lib/libexpat.dll.a include/expat.h)
  # Programs find the installed DLLs on the (Windows) PATH.
  string(REPLACE "/" "\\" bin_dir "Z:${WORK_DIR}/prefix/bin")
  set(ENV{WINEPATH} "${bin_dir}")
endif()
foreach(file IN LISTS installed)
  if(NOT EXISTS ${WORK_DIR}/prefix/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
set(cross_options "")
if(TOOLCHAIN_FILE)
  set(cross_options -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE} -DNUVZUB_WINE_PREFIX=${WINE_PREFIX})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/consumer -B ${WORK_DIR}/build
                        -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix ${cross_options}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build COMMAND_ERROR_IS_FATAL ANY)
foreach(program consumer consumer_c)
  execute_process(COMMAND ${EMULATOR} ${WORK_DIR}/build/${program}${exe} RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out)
  message(STATUS "${program}: ${out}")
  if(rc)
    message(FATAL_ERROR "${program} failed: ${rc}")
  endif()
endforeach()
# The pkg-config file names everything a plain C compiler line needs.
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${WORK_DIR}/prefix/lib/pkgconfig
                        pkg-config --cflags --libs NUVZubContainers
                OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(flags UNIX_COMMAND "${flags}")
if(TOOLCHAIN_FILE)
  set(c_compiler x86_64-w64-mingw32-gcc-posix)
else()
  set(c_compiler cc)
  list(APPEND flags -Wl,-rpath,${WORK_DIR}/prefix/lib)
endif()
execute_process(COMMAND ${c_compiler} -std=c11 -pedantic-errors ${SOURCE_DIR}/consumer/consumer.c ${flags}
                        -o ${WORK_DIR}/consumer_pc${exe}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${EMULATOR} ${WORK_DIR}/consumer_pc${exe} COMMAND_ERROR_IS_FATAL ANY)
