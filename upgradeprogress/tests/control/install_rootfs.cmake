# Lays the install tree out as the set's root file system under BUILD/rootfs,
# afresh, for the tests that run the installed program in the sandbox.
if(NOT BUILD)
  message(FATAL_ERROR "install_rootfs.cmake needs -DBUILD=<build dir>")
endif()
file(REMOVE_RECURSE ${BUILD}/rootfs)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${BUILD}/rootfs ${CMAKE_COMMAND} --install ${BUILD}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install ${BUILD} failed: ${result}")
endif()
