# Installs the build tree twice, into a prefix of its own and staged under
# DESTDIR for the configured prefix, and checks both copies; then builds and
# runs the examples and the programs against the first one.
#
#   cmake -DBINARY_DIR= -DSOURCE_DIR= -DWORKDIR= -DPREFIX=<configured prefix>
#         -DBINDIR= -DINCLUDEDIR= -DLIBDIR= -DMANDIR= (relative to the prefix)
#         -DVERSION= -DCONFIG= -DC_COMPILER= -DCXX_COMPILER= -DGENERATOR=
#         -P install_test.cmake
#
# Every failed check is reported; the run fails if any did.

cmake_minimum_required(VERSION 3.25)

include(${CMAKE_CURRENT_LIST_DIR}/layout_check.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/examples_check.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/tools_check.cmake)

function(install_build_tree)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${ARGN}
    OUTPUT_VARIABLE log ERROR_VARIABLE errors RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed:\n${log}${errors}")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORKDIR}")
set(prefix "${WORKDIR}/prefix")
set(staging "${WORKDIR}/staging")

# The first install writes the pkg-config files for its prefix; the staged
# one must write them anew for the configured prefix.
install_build_tree(--unset=DESTDIR ${CMAKE_COMMAND} --install "${BINARY_DIR}" --prefix "${prefix}")
check_file_list("${prefix}")
check_libraries("${prefix}")
check_no_run_path("${prefix}")
check_pkgconfig_files("${prefix}" "${prefix}")
check_man_pages("${prefix}")
check_headers("${prefix}" "${WORKDIR}")

install_build_tree(DESTDIR=${staging} ${CMAKE_COMMAND} --install "${BINARY_DIR}")
file(GLOB staged LIST_DIRECTORIES true RELATIVE "${staging}" "${staging}/*")
string(REGEX MATCH "^/[^/]+" top "${PREFIX}")
if(NOT "/${staged}" STREQUAL top)
  message(SEND_ERROR "DESTDIR install wrote outside ${PREFIX}: ${staged}")
endif()
check_file_list("${staging}${PREFIX}")
check_pkgconfig_files("${staging}${PREFIX}" "${PREFIX}")

set(ENV{LD_LIBRARY_PATH} "${prefix}/${LIBDIR}")
copy_examples("${WORKDIR}")
check_pkgconfig_build("${prefix}" "${WORKDIR}")
check_cmake_build("${prefix}" "${WORKDIR}")
check_tools("${prefix}/${BINDIR}/xmlload" "${prefix}/${BINDIR}/xmldump"
            "${prefix}/${BINDIR}/xmlquery" "${WORKDIR}/tools")
