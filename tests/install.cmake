# xmldump as a user meets it, on the programs of the build tree.
add_test(NAME xmldump
  COMMAND ${CMAKE_COMMAND}
          -DXMLLOAD=$<TARGET_FILE:xmlload> -DXMLDUMP=$<TARGET_FILE:xmldump>
          -DXMLQUERY=$<TARGET_FILE:xmlquery>
          -DWORKDIR=${CMAKE_CURRENT_BINARY_DIR}/xmldump_run
          -P ${CMAKE_CURRENT_LIST_DIR}/install/tools_check.cmake)

# Installing the project and building the examples against the installed
# copy. Sanitized libraries cannot be linked by an ordinary program, so a
# sanitizer build skips it.
if(NOT TARN_SANITIZE AND NOT TARN_FUZZ)
  add_test(NAME install
    COMMAND ${CMAKE_COMMAND}
            -DBINARY_DIR=${PROJECT_BINARY_DIR}
            -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DWORKDIR=${CMAKE_CURRENT_BINARY_DIR}/install_run
            -DPREFIX=${CMAKE_INSTALL_PREFIX}
            -DBINDIR=${CMAKE_INSTALL_BINDIR}
            -DINCLUDEDIR=${CMAKE_INSTALL_INCLUDEDIR}
            -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
            -DMANDIR=${CMAKE_INSTALL_MANDIR}
            -DVERSION=${PROJECT_VERSION}
            -DCONFIG=${CMAKE_BUILD_TYPE}
            -DC_COMPILER=${CMAKE_C_COMPILER}
            -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
            -DGENERATOR=${CMAKE_GENERATOR}
            -P ${CMAKE_CURRENT_LIST_DIR}/install/install_test.cmake)
  set_tests_properties(install PROPERTIES TIMEOUT 300)
endif()
