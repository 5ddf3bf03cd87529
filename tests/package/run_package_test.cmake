# Run by ctest (see CMakeLists.txt): install, build two hosts against the install, run them.
cmake_minimum_required(VERSION 3.24)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}\n${err}")
  endif()
  set(LAST_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

include(GNUInstallDirs)
foreach(f include/sonaflux/sonaflux.h include/sonaflux/directsound.h include/sonaflux/guid.h
          include/softds/softds.h ${CMAKE_INSTALL_LIBDIR}/libSonaflux.so
          ${CMAKE_INSTALL_LIBDIR}/libsoftds.a ${CMAKE_INSTALL_LIBDIR}/libsonaflux_platform.a
          ${CMAKE_INSTALL_LIBDIR}/cmake/Sonaflux/SonafluxConfig.cmake
          ${CMAKE_INSTALL_LIBDIR}/cmake/Sonaflux/SonafluxConfigVersion.cmake
          ${CMAKE_INSTALL_LIBDIR}/pkgconfig/sonaflux.pc)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
# Nothing of the sources or the build tree leaks into the package.
file(READ ${prefix}/${CMAKE_INSTALL_LIBDIR}/cmake/Sonaflux/SonafluxConfig.cmake config)
get_filename_component(source_root ${HOST_DIR}/../../.. ABSOLUTE)
string(FIND "${config}" "${source_root}" leak)
if(NOT leak EQUAL -1)
  message(FATAL_ERROR "SonafluxConfig.cmake refers to the source tree")
endif()

# 1. find_package(Sonaflux), from a moved copy of the install: the package is relocatable.
file(RENAME ${prefix} ${WORK_DIR}/moved)
set(prefix ${WORK_DIR}/moved)
run("configuring the host" ${CMAKE_COMMAND} -S ${HOST_DIR} -B ${WORK_DIR}/host -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}" -DCMAKE_BUILD_TYPE=Debug)
run("building the host" ${CMAKE_COMMAND} --build ${WORK_DIR}/host)
run("the host" ${WORK_DIR}/host/package_host)
message(STATUS "${LAST_OUTPUT}")
if(NOT LAST_OUTPUT MATCHES "package host: [0-9]+ bytes played, identical to the tone")
  message(FATAL_ERROR "unexpected output of the host: ${LAST_OUTPUT}")
endif()

# 2. pkg-config --cflags --libs sonaflux, for a host that only loads the module.
if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} ${prefix}/${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  run("pkg-config" ${PKG_CONFIG} --cflags --libs sonaflux)
  string(STRIP "${LAST_OUTPUT}" flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS} ${LINKER_FLAGS}")
  run("compiling with pkg-config's flags" ${CXX} -std=c++17 ${cxx_flags}
      ${HOST_DIR}/pkgconfig_host.cpp ${flags} -o ${WORK_DIR}/pkgconfig_host)
  run("the pkg-config host" ${CMAKE_COMMAND} -E env
      LD_LIBRARY_PATH=${prefix}/${CMAKE_INSTALL_LIBDIR} ${WORK_DIR}/pkgconfig_host)
  message(STATUS "${LAST_OUTPUT}")
else()
  message(STATUS "pkg-config not found: sonaflux.pc not tried")
endif()
