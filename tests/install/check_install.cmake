# Installs the build tree into a fresh prefix, then configures, builds and runs
# the consumer against it. Run with -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=...
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(rc)
  message(FATAL_ERROR "install failed")
endif()
foreach(file include/NUVZub/NUVZubContainers.h include/NUVZub/NUVZubContainersC.h
             lib/pkgconfig/NUVZubContainers.pc lib/cmake/NUVZubContainers/NUVZubContainersConfig.cmake)
  if(NOT EXISTS ${WORK_DIR}/prefix/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/consumer -B ${WORK_DIR}/build
                        -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix
                RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "consumer configure failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "consumer build failed")
endif()
foreach(program consumer consumer_c)
  execute_process(COMMAND ${WORK_DIR}/build/${program} RESULT_VARIABLE rc OUTPUT_VARIABLE out)
  message(STATUS "${program}: ${out}")
  if(rc)
    message(FATAL_ERROR "${program} failed: ${rc}")
  endif()
endforeach()
# The pkg-config file names everything a plain C compiler line needs.
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${WORK_DIR}/prefix/lib/pkgconfig
                        pkg-config --cflags --libs NUVZubContainers
                OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "pkg-config does not know the package")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND cc -std=c11 -pedantic-errors ${SOURCE_DIR}/consumer/consumer.c ${flags}
                        -Wl,-rpath,${WORK_DIR}/prefix/lib -o ${WORK_DIR}/consumer_pc
                RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "pkg-config build failed")
endif()
execute_process(COMMAND ${WORK_DIR}/consumer_pc RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "pkg-config consumer failed")
endif()
