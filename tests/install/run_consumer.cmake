# Installs the build tree into a scratch prefix, then builds and runs a consumer that knows
# only <kxmp/kxmp.h>: once as a CMake project with find_package(kxmp CONFIG REQUIRED), once
# with the compiler and pkg-config alone. Checks what the installation holds and leaves out.
file(REMOVE_RECURSE ${WORK_DIR})
set(PREFIX ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${PREFIX} RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "install failed: ${rc}")
endif()

# What a package holds, and what stays out of it: test seams and headers that tie the
# interface to SQLite or pugixml.
foreach(f lib/pkgconfig/kxmp.pc lib/systemd/system/kxmp-host.service share/bash-completion/completions/kxmp
          include/kxmp/kxmp.h include/kxmp/outside/error/CZoError.h)
  if(NOT EXISTS ${PREFIX}/${f})
    message(FATAL_ERROR "the installation lacks ${f}")
  endif()
endforeach()
foreach(f include/kxmp/outside/dataserver/FaultyBackend.h include/kxmp/outside/log/CaptureLogWriter.h
          include/kxmp/outside/catalog/CatalogSeams.h include/kxmp/outside/catalog/sqlite/CatalogDb.h
          include/kxmp/outside/catalog/postgres/PgConnection.h
          include/kxmp/outside/xml/CNXmlDocument.h)
  if(EXISTS ${PREFIX}/${f})
    message(FATAL_ERROR "the installation holds ${f}, which is not part of the library's interface")
  endif()
endforeach()
if(HAVE_MANPAGES AND NOT EXISTS ${PREFIX}/share/man/man1/kxmp.1)
  message(FATAL_ERROR "the installation lacks the man page kxmp.1")
endif()

# 1. CMake
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install/consumer -B ${WORK_DIR}/build
  -G Ninja -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_BUILD_TYPE=Debug
  "-DCMAKE_CXX_FLAGS=${CONSUMER_CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_LINKER_FLAGS}"
  RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "consumer configure failed: ${rc}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "consumer build failed: ${rc}")
endif()
execute_process(COMMAND ${WORK_DIR}/build/consumer RESULT_VARIABLE rc OUTPUT_VARIABLE out)
message(STATUS "${out}")
if(rc)
  message(FATAL_ERROR "consumer run failed: ${rc}")
endif()

# 2. pkg-config and the compiler, nothing else
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${PREFIX}/lib/pkgconfig)
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs kxmp OUTPUT_VARIABLE flags RESULT_VARIABLE rc
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(rc)
  message(FATAL_ERROR "pkg-config does not know kxmp: ${rc}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(extra UNIX_COMMAND "${CONSUMER_CXX_FLAGS} ${CONSUMER_LINKER_FLAGS}")
execute_process(COMMAND c++ -std=c++17 ${extra} ${SOURCE_DIR}/tests/install/consumer/main.cpp ${flags}
  -Wl,-rpath,${PREFIX}/lib -o ${WORK_DIR}/consumer-pc RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "consumer build with pkg-config failed: ${rc}")
endif()
execute_process(COMMAND ${WORK_DIR}/consumer-pc RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "consumer built with pkg-config failed to run: ${rc}")
endif()
