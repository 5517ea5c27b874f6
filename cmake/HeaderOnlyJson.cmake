# nlohmann-json for a cross build. Debian ships it for the build machine
# only, and its CMake package names the whole /usr/include, which must not
# come before the cross-compiler's own headers. The library is header-only
# and the same on every platform: a folder with just its headers will do.
if(TARGET nlohmann_json::nlohmann_json)
  return()
endif()
find_path(QUORVANE_JSON_INCLUDE nlohmann/json.hpp
  PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(QUORVANE_JSON_ONLY ${CMAKE_BINARY_DIR}/json-include)
file(MAKE_DIRECTORY ${QUORVANE_JSON_ONLY})
file(CREATE_LINK ${QUORVANE_JSON_INCLUDE}/nlohmann ${QUORVANE_JSON_ONLY}/nlohmann SYMBOLIC)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${QUORVANE_JSON_ONLY})
