# Builds the Windows package and unpacks it for the package tests:
#   cmake -DBUILD_DIR=<build> -DPACKAGE=<zip> -DCONTENTS=<folder> -P unpack_package.cmake
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target package RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "building the package failed")
endif()
file(REMOVE_RECURSE ${CONTENTS})
file(MAKE_DIRECTORY ${CONTENTS})
file(ARCHIVE_EXTRACT INPUT ${PACKAGE} DESTINATION ${CONTENTS})
