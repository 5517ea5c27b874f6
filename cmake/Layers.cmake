# One static library per layer of src/, its sources listed by name.
#
#   quorvane_layer(<target> [QT] SOURCES ... [POSIX ...] [WIN32 ...] [DEPENDS ...])
#
# QT marks a layer of the desktop program (moc and resources are run).
# POSIX and WIN32 name the layer's platform files (its posix/ or win32/
# folder); the build takes the set of the platform it targets. DEPENDS are
# the layers (and outside libraries) this one includes, linked PUBLIC so
# that a user of a layer gets everything below it. Every layer includes
# from src/, by folder: #include "serial/command_port.h".
function(quorvane_layer target)
  cmake_parse_arguments(LAYER "QT" "" "SOURCES;POSIX;WIN32;DEPENDS" ${ARGN})
  set(sources ${LAYER_SOURCES})
  if(WIN32)
    list(APPEND sources ${LAYER_WIN32})
  else()
    list(APPEND sources ${LAYER_POSIX})
  endif()
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${target} PUBLIC ${LAYER_DEPENDS})
  if(LAYER_QT)
    set_target_properties(${target} PROPERTIES AUTOMOC ON AUTORCC ON)
  endif()
  quorvane_warnings(${target})
endfunction()
