if(NOT OTA_BUILD_TESTS)
  return()
endif()
enable_testing()
find_package(GTest REQUIRED)

# ota_add_test(NAME SOURCES a.cpp... LIBS lib... [SANDBOX | NEEDS_ROOT] [TIMEOUT s])
# A SANDBOX test reaches fixed set paths (/dev/mmcblk0p*, /OAD, /tmp) or reboot():
# it only ever runs inside the sandbox runner, on a fresh simulated set.
# A NEEDS_ROOT test runs on the host but needs root for what it starts: the
# sandbox runner, loop devices, mounts or namespaces.
# Both carry the label sandbox; every other test carries the label unit and
# must pass as any user in private temporary directories:
#   ctest -L unit     (no root, no loop device, no namespace)
#   ctest -L sandbox  (root)
function(ota_add_test name)
  cmake_parse_arguments(T "SANDBOX;NEEDS_ROOT" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(T_SANDBOX)
    list(APPEND T_SOURCES ${PROJECT_SOURCE_DIR}/upgradeprogress/tests/testing/sandbox_guard.cpp)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/upgradeprogress/tests)
  target_compile_definitions(${name} PRIVATE
    OTA_SOURCE_DIR="${PROJECT_SOURCE_DIR}" OTA_BINARY_DIR="${PROJECT_BINARY_DIR}")
  if(T_SANDBOX)
    add_test(NAME ${name}
             COMMAND ${PROJECT_SOURCE_DIR}/scripts/sandbox-test
                     $<TARGET_FILE:upgrade-sandbox> ${name} $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(T_SANDBOX OR T_NEEDS_ROOT)
    set_property(TEST ${name} APPEND PROPERTY LABELS sandbox)
  else()
    set_property(TEST ${name} APPEND PROPERTY LABELS unit)
  endif()
  if(T_TIMEOUT)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
endfunction()
