# cmake/Layers.cmake: one static library per source folder, and the include
# view that keeps each folder to the folders below it.
#
# cvsmtpgw_layer(NAME [LINKS lower...] [SOURCES extra-globs...] [EXCLUDE file...])
# makes cvsmtpgw_NAME from NAME/*.cpp, linked PUBLIC to cvsmtpgw_<lower> for
# each lower layer named. Its sources are compiled with one include directory:
# ${CMAKE_BINARY_DIR}/layers/NAME, which holds a link to NAME/ and to every
# folder that the named lower layers see, and nothing else. The repository root
# is not on that path, so `#include "host/X.h"` from spool/ is "No such file"
# at compile time, as is one between two layers that do not link each other
# (smtpin and smtpout; net and mime). Above platform/ the view holds only
# platform's own headers, not its backends (posix/, win32/): the OS stays in
# platform/. Whatever links cvsmtpgw_core (the program, tests, fuzz targets,
# benches) sees the whole tree.
#
# Layers must be declared bottom up (a layer's LINKS must exist already).

set(CVSMTPGW_LAYERS_DIR ${CMAKE_BINARY_DIR}/layers)

# Points `link` at `target`, replacing whatever stood there.
function(_cvsmtpgw_link target link)
  if(IS_SYMLINK ${link} OR EXISTS ${link})
    file(REMOVE ${link})
  endif()
  file(CREATE_LINK ${target} ${link} SYMBOLIC)
endfunction()

# The platform headers without the backends: what the layers above see.
function(_cvsmtpgw_platform_api out)
  set(api ${CVSMTPGW_LAYERS_DIR}/platform-api)
  file(MAKE_DIRECTORY ${api})
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/*.h)
  file(GLOB stale LIST_DIRECTORIES true ${api}/*)
  foreach(entry ${stale})
    file(REMOVE ${entry})  # links only: removes the link, never what it points at
  endforeach()
  foreach(header ${headers})
    get_filename_component(name ${header} NAME)
    _cvsmtpgw_link(${header} ${api}/${name})
  endforeach()
  set(${out} ${api} PARENT_SCOPE)
endfunction()

function(cvsmtpgw_layer name)
  cmake_parse_arguments(LAYER "" "" "LINKS;SOURCES;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${name}/*.cpp)
  foreach(pattern ${LAYER_SOURCES})
    file(GLOB extra CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${pattern})
    list(APPEND sources ${extra})
  endforeach()
  foreach(file ${LAYER_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_SOURCE_DIR}/${name}/${file})
  endforeach()
  add_library(cvsmtpgw_${name} STATIC ${sources})

  # What this layer may include: itself and all that its lower layers may.
  set(sees ${name})
  foreach(lower ${LAYER_LINKS})
    if(NOT TARGET cvsmtpgw_${lower})
      message(FATAL_ERROR "layer ${name} links ${lower}, which is not declared below it")
    endif()
    target_link_libraries(cvsmtpgw_${name} PUBLIC cvsmtpgw_${lower})
    get_property(lowerSees GLOBAL PROPERTY CVSMTPGW_LAYER_SEES_${lower})
    list(APPEND sees ${lowerSees})
  endforeach()
  list(REMOVE_DUPLICATES sees)
  set_property(GLOBAL PROPERTY CVSMTPGW_LAYER_SEES_${name} ${sees})

  set(view ${CVSMTPGW_LAYERS_DIR}/${name})
  file(MAKE_DIRECTORY ${view})
  file(GLOB stale LIST_DIRECTORIES true ${view}/*)
  foreach(entry ${stale})
    file(REMOVE ${entry})
  endforeach()
  foreach(folder ${sees})
    if(folder STREQUAL "platform" AND NOT name STREQUAL "platform")
      _cvsmtpgw_platform_api(api)
      _cvsmtpgw_link(${api} ${view}/platform)
    else()
      _cvsmtpgw_link(${CMAKE_SOURCE_DIR}/${folder} ${view}/${folder})
    endif()
  endforeach()
  target_include_directories(cvsmtpgw_${name} PRIVATE ${view})
endfunction()
