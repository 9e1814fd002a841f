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
# A build configured with release keys (-DOTA_PACKAGE_KEYS) installs them;
# the tests sign with keys of their own and lay those in where they need them.
file(REMOVE_RECURSE ${BUILD}/rootfs/usr/bin/upgradeprogress/keys)
