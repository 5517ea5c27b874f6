# Run by `cmake --install` (install(SCRIPT) in cmake/Windows.cmake) after the
# programs and plugins are in place: copies every DLL they load, directly
# or through another, from QUORVANE_DEPLOY_DIRS into the folder, and strips
# it with the programs (`--strip`, CPack). DLLs that no folder of the
# build has are Windows' own and stay out. Set before it:
#   QUORVANE_DEPLOY_PROGRAMS, QUORVANE_DEPLOY_PLUGINS  relative to the folder
#   QUORVANE_DEPLOY_DIRS     where the libraries are found
#   QUORVANE_DEPLOY_OBJDUMP  objdump that reads PE files (MinGW)
#   QUORVANE_DEPLOY_STRIP    strip for --strip
set(folder "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(programs "")
foreach(file IN LISTS QUORVANE_DEPLOY_PROGRAMS)
  list(APPEND programs "${folder}/${file}")
endforeach()
set(plugins "")
foreach(file IN LISTS QUORVANE_DEPLOY_PLUGINS)
  list(APPEND plugins "${folder}/${file}")
endforeach()

if(QUORVANE_DEPLOY_OBJDUMP)
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND "${QUORVANE_DEPLOY_OBJDUMP}")
endif()
# Every name not found in the build's folders is one of Windows' own
# (kernel32.dll, api-ms-win-*.dll, ...): left unresolved, not copied.
file(GET_RUNTIME_DEPENDENCIES
  EXECUTABLES ${programs}
  MODULES ${plugins}
  DIRECTORIES ${QUORVANE_DEPLOY_DIRS}
  RESOLVED_DEPENDENCIES_VAR found
  UNRESOLVED_DEPENDENCIES_VAR windows_own)
foreach(name IN LISTS windows_own)
  # The libraries of Qt and of the compiler must come from the build.
  string(TOLOWER "${name}" lower)
  if(lower MATCHES "^(qt6|lib)")
    message(FATAL_ERROR "${name} is needed by the deployment folder but not in ${QUORVANE_DEPLOY_DIRS}")
  endif()
endforeach()
list(SORT found)
foreach(library IN LISTS found)
  get_filename_component(name "${library}" NAME)
  message(STATUS "Deploying: ${folder}/${name}")
  file(COPY "${library}" DESTINATION "${folder}")
  list(APPEND plugins "${folder}/${name}")
endforeach()
if(CMAKE_INSTALL_DO_STRIP AND QUORVANE_DEPLOY_STRIP)
  foreach(library IN LISTS plugins)
    execute_process(COMMAND "${QUORVANE_DEPLOY_STRIP}" "${library}" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endif()
