# ota_subsystem(NAME DEPS...): the static library of one subsystem folder,
# built from every .cpp in it (main.cpp aside). Headers are included as
# "<subsystem>/<header>.h" from upgradeprogress/src.
function(ota_subsystem name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/upgradeprogress/src)
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/upgradeprogress/src)
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()
