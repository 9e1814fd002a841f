# ota_room(NAME [BELOW room...] [LIBS lib...]): the static library ota_NAME of
# one room of the program, built from every .cpp of its folder (main.cpp
# aside). Only the room's door, include/NAME.h, is public; the other headers
# of the folder are the room's own. BELOW names the rooms it stands on: their
# doors are all it may include.
function(ota_room name)
  cmake_parse_arguments(R "" "" "BELOW;LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  set(below)
  foreach(room ${R_BELOW})
    list(APPEND below ota_${room})
  endforeach()
  add_library(ota_${name} STATIC ${sources})
  target_include_directories(ota_${name}
    PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(ota_${name} PUBLIC ${below} ${R_LIBS})
endfunction()

# ota_room_internals(TARGET ROOM): a test of ROOM may look inside it.
function(ota_room_internals target room)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/upgradeprogress/src/${room})
endfunction()
