# Installs libzrshared into a scratch prefix and builds a consumer against it
# with find_package, with pkg-config, and through add_subdirectory; runs the
# installed tools; uninstalls. Every program must run without
# LD_LIBRARY_PATH.
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=... -DCXX=... -P run_package_test.cmake
file(REMOVE_RECURSE ${WORK_DIR})
unset(ENV{LD_LIBRARY_PATH})
set(prefix ${WORK_DIR}/prefix)
set(libdir lib/x86_64-linux-gnu)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

# The library, installed to a prefix other than the configured one.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/lib -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/nonexistent -DCMAKE_INSTALL_LIBDIR=${libdir}
    -DZRSHARED_BUILD_TESTS=OFF -DZRSHARED_BUILD_BENCHMARKS=OFF)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/lib)
run(${CMAKE_COMMAND} --install ${WORK_DIR}/lib --prefix ${prefix})
foreach(f include/zrshared/zr_dlist.h include/zrshared/zrshared.h include/tvo/revision.h
          ${libdir}/libzrshared.so ${libdir}/libtvort.so ${libdir}/pkgconfig/zrshared.pc
          ${libdir}/cmake/zrshared/zrsharedConfigVersion.cmake
          share/man/man1/zr-crc.1 share/man/man1/zr-echo.1)
  if(NOT EXISTS "${prefix}/${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
foreach(tool zr-crc zr-echo)
  run(${prefix}/bin/${tool} --version)
  message(STATUS "installed ${last_output}")
endforeach()

# 1. find_package(zrshared)
run(${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/consumer -B ${WORK_DIR}/find -G ${GENERATOR}
    "-DCMAKE_PREFIX_PATH=${prefix}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/find)
run(${WORK_DIR}/find/consumer)
message(STATUS "find_package: ${last_output}")

# 2. pkg-config, with the .pc file's own relocation.
set(ENV{PKG_CONFIG_PATH} "${prefix}/${libdir}/pkgconfig")
run(pkg-config --cflags --libs zrshared)
string(STRIP "${last_output}" flags)
run(pkg-config --variable=libdir zrshared)
string(STRIP "${last_output}" pc_libdir)
if(NOT pc_libdir STREQUAL "${prefix}/${libdir}")
  message(FATAL_ERROR "pkg-config libdir is ${pc_libdir}, not ${prefix}/${libdir}")
endif()
separate_arguments(flag_list UNIX_COMMAND "${flags}")
run(${CXX} -std=c++17 ${CMAKE_CURRENT_LIST_DIR}/consumer/main.cpp -o ${WORK_DIR}/pc_consumer
    ${flag_list} "-Wl,-rpath,${pc_libdir}")
run(${WORK_DIR}/pc_consumer)
message(STATUS "pkg-config: ${last_output}")

# 3. add_subdirectory: no tests, benchmarks or install rules leak in.
run(${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/consumer -B ${WORK_DIR}/sub -G ${GENERATOR}
    -DZRSHARED_SOURCE_DIR=${SOURCE_DIR})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/sub)
run(${WORK_DIR}/sub/consumer)
if(EXISTS ${WORK_DIR}/sub/zrshared/tests OR EXISTS ${WORK_DIR}/sub/zrshared/bench)
  message(FATAL_ERROR "add_subdirectory built the library's tests or benchmarks")
endif()
message(STATUS "add_subdirectory: ${last_output}")

# 4. An absolute CMAKE_INSTALL_LIBDIR still gives a correct .pc file.
set(abs_prefix ${WORK_DIR}/abs)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/lib_abs -G ${GENERATOR}
    -DCMAKE_INSTALL_PREFIX=${abs_prefix} -DCMAKE_INSTALL_LIBDIR=${abs_prefix}/lib64abs
    -DZRSHARED_BUILD_TESTS=OFF -DZRSHARED_BUILD_BENCHMARKS=OFF -DZRSHARED_BUILD_EXAMPLES=OFF)
file(READ ${WORK_DIR}/lib_abs/zrshared.pc.in pc)
string(FIND "${pc}" "libdir=${abs_prefix}/lib64abs\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "absolute libdir not kept in zrshared.pc:\n${pc}")
endif()

# 5. uninstall removes every installed file.
run(${CMAKE_COMMAND} --build ${WORK_DIR}/lib --target uninstall)
file(GLOB_RECURSE left ${prefix}/*)
if(left)
  message(FATAL_ERROR "left after uninstall: ${left}")
endif()
