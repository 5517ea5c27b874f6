# Run by `cmake --install` (install(SCRIPT) in cmake/Windows.cmake) after the
# programs and plugins are in place: copies every DLL they load, directly
# or through another, from QUORVANE_DEPLOY_DIRS into the folder, and strips
# them with the programs (`--strip`, CPack). Set before it:
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

# Every DLL the build's folders have, by its name in lower case (import
# tables name them in any case; Windows' file names don't care, Linux's do).
set(available "")
foreach(dir IN LISTS QUORVANE_DEPLOY_DIRS)
  file(GLOB dlls "${dir}/*.dll")
  foreach(dll IN LISTS dlls)
    get_filename_component(name "${dll}" NAME)
    string(TOLOWER "${name}" lower)
    if(NOT DEFINED "library_${lower}")
      set("library_${lower}" "${dll}")
    endif()
  endforeach()
endforeach()

# Follows the import tables from the programs and plugins; every name that
# none of the build's folders has is one of Windows' own (kernel32.dll,
# api-ms-win-*.dll, ...) and stays out. The libraries of Qt and of the
# compiler must be found.
set(todo ${programs} ${plugins})
set(copied "")
while(todo)
  list(POP_FRONT todo file)
  execute_process(COMMAND "${QUORVANE_DEPLOY_OBJDUMP}" -p "${file}" OUTPUT_VARIABLE dump
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
  foreach(import IN LISTS imports)
    string(REGEX REPLACE "DLL Name: *" "" name "${import}")
    string(STRIP "${name}" name)
    string(TOLOWER "${name}" lower)
    list(FIND copied "${lower}" seen)
    if(seen GREATER -1)
      continue()
    elseif(DEFINED "library_${lower}")
      list(APPEND copied "${lower}")
      get_filename_component(found "${library_${lower}}" NAME)
      message(STATUS "Deploying: ${folder}/${found}")
      file(COPY "${library_${lower}}" DESTINATION "${folder}")
      list(APPEND todo "${folder}/${found}")
      list(APPEND plugins "${folder}/${found}")
    elseif(lower MATCHES "^(qt6|lib)")
      message(FATAL_ERROR "${name}, needed by ${file}, is in none of ${QUORVANE_DEPLOY_DIRS}")
    endif()
  endforeach()
endwhile()
if(CMAKE_INSTALL_DO_STRIP AND QUORVANE_DEPLOY_STRIP)
  foreach(library IN LISTS plugins)
    execute_process(COMMAND "${QUORVANE_DEPLOY_STRIP}" "${library}" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endif()
