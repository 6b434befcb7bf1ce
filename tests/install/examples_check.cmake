# The two examples built against an installed copy the two ways a user
# would, with pkg-config and through find_package(tarn20), then run with the
# installed libraries and checked against their expected output.
#
# Included by install_test.cmake, which sets SOURCE_DIR, LIBDIR, INCLUDEDIR,
# VERSION, C_COMPILER, CXX_COMPILER and GENERATOR.

find_program(PKG_CONFIG pkg-config REQUIRED)
find_program(LDD ldd)

# Copies of the sources, so that no header is found next to them in the
# source tree.
function(copy_examples workdir)
  file(COPY "${SOURCE_DIR}/examples/engine_example.c" "${SOURCE_DIR}/examples/xml_example.cpp"
       DESTINATION "${workdir}/sources")
endfunction()

function(pkg_config out)
  execute_process(COMMAND ${PKG_CONFIG} ${ARGN}
    OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE rc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(SEND_ERROR "pkg-config ${ARGN} failed:\n${errors}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(compile what)
  execute_process(COMMAND ${ARGN} ERROR_VARIABLE errors RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(SEND_ERROR "building ${what} failed:\n${errors}")
  endif()
endfunction()

# Runs an example in a fresh folder; its output must equal the expected one
# and its libraries must come from the installed copy.
function(run_example program example prefix)
  if(NOT EXISTS "${program}")
    return()  # its build already failed
  endif()
  set(workdir "${program}_run")
  file(REMOVE_RECURSE "${workdir}")
  file(MAKE_DIRECTORY "${workdir}")
  execute_process(COMMAND "${program}" "${workdir}"
    OUTPUT_VARIABLE actual ERROR_VARIABLE errors RESULT_VARIABLE rc)
  file(READ "${SOURCE_DIR}/examples/${example}.expected" expected)
  if(NOT rc EQUAL 0 OR NOT actual STREQUAL expected)
    message(SEND_ERROR "${program} (status ${rc})\n--- expected\n${expected}--- actual\n${actual}${errors}")
  endif()
  if(LDD)
    execute_process(COMMAND ${LDD} "${program}" OUTPUT_VARIABLE libraries)
    string(REGEX MATCHALL "libtarn[a-z0-9]*\\.so[^ ]* => [^ ]*" resolved "${libraries}")
    foreach(entry IN LISTS resolved)
      string(FIND "${entry}" " => ${prefix}/${LIBDIR}/" at)
      if(at EQUAL -1)
        message(SEND_ERROR "${program} loads a library from outside ${prefix}: ${entry}")
      endif()
    endforeach()
  endif()
endfunction()

function(check_pkgconfig_build prefix workdir)
  set(ENV{PKG_CONFIG_PATH} "${prefix}/${LIBDIR}/pkgconfig")
  pkg_config(version --modversion tarnxml)
  if(NOT version STREQUAL VERSION)
    message(SEND_ERROR "pkg-config gives version '${version}' for tarnxml, not ${VERSION}")
  endif()
  pkg_config(cflags --cflags tarnxml)
  separate_arguments(cflags UNIX_COMMAND "${cflags}")
  foreach(folder IN ITEMS tarnxml tarn20)
    if(NOT "-I${prefix}/${INCLUDEDIR}/${folder}" IN_LIST cflags)
      message(SEND_ERROR "pkg-config --cflags tarnxml lacks -I${prefix}/${INCLUDEDIR}/${folder}: ${cflags}")
    endif()
  endforeach()

  set(out "${workdir}/pkgconfig")
  file(MAKE_DIRECTORY "${out}")
  set(warnings -Wall -Wextra -Werror)
  pkg_config(flags --cflags --libs tarn20)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  compile("engine_example with pkg-config"
    ${C_COMPILER} -std=c99 ${warnings} "${workdir}/sources/engine_example.c" ${flags}
    -o "${out}/engine_example")
  pkg_config(flags --cflags --libs tarnxml)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  compile("xml_example with pkg-config"
    ${CXX_COMPILER} -std=c++17 ${warnings} "${workdir}/sources/xml_example.cpp" ${flags}
    -o "${out}/xml_example")
  run_example("${out}/engine_example" engine_example "${prefix}")
  run_example("${out}/xml_example" xml_example "${prefix}")
endfunction()

function(check_cmake_build prefix workdir)
  set(out "${workdir}/consumer")
  file(REMOVE_RECURSE "${out}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S "${CMAKE_CURRENT_LIST_DIR}/consumer" -B "${out}"
            -G "${GENERATOR}"
            "-DCMAKE_PREFIX_PATH=${prefix}"
            -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
            "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
            "-DEXAMPLES=${workdir}/sources"
    OUTPUT_VARIABLE log ERROR_VARIABLE errors RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(SEND_ERROR "configuring the consumer project failed:\n${log}${errors}")
    return()
  endif()
  file(STRINGS "${out}/CMakeCache.txt" found REGEX "^tarn20_DIR:")
  if(NOT found STREQUAL "tarn20_DIR:PATH=${prefix}/${LIBDIR}/cmake/tarn20")
    message(SEND_ERROR "find_package(tarn20) did not use the installed package: ${found}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} --build "${out}" -j 2
    OUTPUT_VARIABLE log ERROR_VARIABLE errors RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(SEND_ERROR "building the consumer project failed:\n${log}${errors}")
    return()
  endif()
  run_example("${out}/engine_example" engine_example "${prefix}")
  run_example("${out}/xml_example" xml_example "${prefix}")
endfunction()
