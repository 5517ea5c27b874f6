# One static library per layer of src/, its sources listed by name.
#
#   quorvane_layer(<target> [QT] SOURCES ... [POSIX ...] [WIN32 ...] [DEPENDS ...])
#
# QT marks a layer of the desktop program (moc and resources are run).
# POSIX and WIN32 name the layer's platform files (its posix/ or win32/
# folder); the build takes the set of the platform it targets. DEPENDS are
# the layers (and outside libraries) this one includes, linked PUBLIC so
# that a user of a layer gets everything below it. Every layer includes
# by folder: #include "serial/command_port.h".
#
# src/ itself is on no include path. Each layer publishes the files it
# lists, and only those, as links in a folder of its own in the build tree
# (layers/<target>/<folder>/...), and compiles its sources from there, so a
# file sees the headers of its own layer and of the layers it depends on,
# nothing above or beside them: an upward include fails to compile, also
# one written relative to the including file ("../app/x.h", "ui/x.h"),
# which the compiler looks for beside the file as it was named.
# (scripts/check-layers.sh checks the same rule on the sources without a
# build, other platforms' files too.)
function(quorvane_layer target)
  cmake_parse_arguments(LAYER "QT" "" "SOURCES;POSIX;WIN32;DEPENDS" ${ARGN})
  set(sources ${LAYER_SOURCES})
  if(WIN32)
    list(APPEND sources ${LAYER_WIN32})
  else()
    list(APPEND sources ${LAYER_POSIX})
  endif()
  set(published ${PROJECT_BINARY_DIR}/layers/${target})
  file(REMOVE_RECURSE ${published})
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  set(compiled)
  foreach(source IN LISTS sources)
    if(NOT source MATCHES "\\.(cpp|h)$" OR IS_ABSOLUTE ${source})
      list(APPEND compiled ${source})  # resources stay where their paths lead
      continue()
    endif()
    set(link ${published}/${folder}/${source})
    get_filename_component(dir ${link} DIRECTORY)
    file(MAKE_DIRECTORY ${dir})
    # A copy where links can't be made (Windows without the privilege);
    # an edit of the file then configures anew, which refreshes it.
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${source} ${link} SYMBOLIC COPY_ON_ERROR)
    if(NOT IS_SYMLINK ${link})
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                   ${CMAKE_CURRENT_SOURCE_DIR}/${source})
    endif()
    list(APPEND compiled ${link})
  endforeach()
  add_library(${target} STATIC ${compiled})
  target_include_directories(${target} PUBLIC ${published})
  target_link_libraries(${target} PUBLIC ${LAYER_DEPENDS})
  if(LAYER_QT)
    set_target_properties(${target} PROPERTIES AUTOMOC ON AUTORCC ON)
  endif()
  quorvane_warnings(${target})
endfunction()
