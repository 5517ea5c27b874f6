# The Windows side of the build (MinGW-w64 or MSVC); nothing here applies
# elsewhere. Included once from the top-level CMakeLists.txt.
#
#  - quorvane_windows_resources(target description): the program icon
#    (resources/quorvane.ico), version information from the project's
#    version and the manifest (resources/quorvane.manifest: UTF-8 as the
#    code page of byte strings), compiled into the executable.
#  - At the end of the top-level folder: the desktop programs become GUI
#    executables; `cmake --install` makes the deployment folder: the
#    programs, the Qt libraries and plugins they load, the compiler's
#    runtime libraries those need, and the licence texts. CPack packs that
#    folder as a ZIP (`cpack -G ZIP`) and as an installer (`cpack -G NSIS`,
#    with Debian's nsis package).
if(NOT WIN32)
  return()
endif()
enable_language(RC)

set(QUORVANE_WINDOWS_DIR ${CMAKE_CURRENT_LIST_DIR}/..)

# Resources without zstd compression: the host's rcc (a cross build runs
# Debian's) compresses with zstd by default, and a Qt for Windows built
# without zstd could not read them (the link fails on qResourceFeatureZstd).
set(CMAKE_AUTORCC_OPTIONS --no-zstd)

function(quorvane_windows_resources target description)
  set(QUORVANE_RC_TARGET ${target})
  set(QUORVANE_RC_DESCRIPTION "${description}")
  set(QUORVANE_RC_ICON "${QUORVANE_WINDOWS_DIR}/resources/quorvane.ico")
  set(QUORVANE_RC_VERSION_TEXT "${PROJECT_VERSION}")
  string(REGEX MATCHALL "[0-9]+" parts "${PROJECT_VERSION}.0.0.0.0")
  list(SUBLIST parts 0 4 parts)
  list(JOIN parts "," QUORVANE_RC_VERSION_NUMBERS)
  set(manifest "${QUORVANE_WINDOWS_DIR}/resources/quorvane.manifest")
  if(MSVC)
    set(QUORVANE_RC_MANIFEST "")
    target_sources(${target} PRIVATE ${manifest})
  else()
    set(QUORVANE_RC_MANIFEST "CREATEPROCESS_MANIFEST_RESOURCE_ID RT_MANIFEST \"${manifest}\"")
  endif()
  configure_file(${QUORVANE_WINDOWS_DIR}/resources/quorvane.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
endfunction()

# The deployment folder: both programs at its top, and beside the desktop
# program what it loads, found from the files themselves:
# cmake/WindowsDeploy.cmake follows the
# import tables of the programs and plugins through Qt's DLLs to the
# compiler's runtime (MinGW: libstdc++-6, libgcc_s_seh-1, libwinpthread-1,
# which Qt's DLLs need; quorvane-cli.exe has its runtime linked in and
# stays a file that runs on its own). Libraries of Windows itself are left
# to Windows.
function(quorvane_windows_deploy)
  set(plugins "")
  foreach(plugin IN ITEMS QWindowsIntegrationPlugin:platforms QWindowsVistaStylePlugin:styles)
    string(REPLACE ":" ";" plugin ${plugin})
    list(GET plugin 0 name)
    list(GET plugin 1 folder)
    if(NOT TARGET Qt6::${name})
      message(WARNING "Qt6::${name} not found: the deployment folder lacks ${folder}/")
      continue()
    endif()
    install(FILES $<TARGET_FILE:Qt6::${name}> DESTINATION ${folder})
    list(APPEND plugins "${folder}/$<TARGET_FILE_NAME:Qt6::${name}>")
  endforeach()

  # Where the libraries are looked for: Qt's own bin folder, and the
  # folders the compiler takes its runtime libraries from.
  set(dirs "$<TARGET_FILE_DIR:Qt6::Core>")
  if(MINGW)
    foreach(dll IN ITEMS libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
      execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                      OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(IS_ABSOLUTE "${path}")
        get_filename_component(dir "${path}" DIRECTORY)
        list(APPEND dirs "${dir}")
      endif()
    endforeach()
    list(REMOVE_DUPLICATES dirs)
  endif()
  install(CODE "
    set(QUORVANE_DEPLOY_PROGRAMS \"${QUORVANE_WINDOWS_GUI_PROGRAMS}\")
    set(QUORVANE_DEPLOY_PLUGINS \"${plugins}\")
    set(QUORVANE_DEPLOY_DIRS \"${dirs}\")
    set(QUORVANE_DEPLOY_OBJDUMP \"${CMAKE_OBJDUMP}\")
    set(QUORVANE_DEPLOY_STRIP \"${CMAKE_STRIP}\")")
  install(SCRIPT ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/WindowsDeploy.cmake)

  # Licence texts: the project's, Qt's (as its source ships them) and the
  # MinGW runtime's (Debian's copyright files of the compiler packages).
  if(EXISTS ${QUORVANE_WINDOWS_DIR}/COPYING)
    install(FILES ${QUORVANE_WINDOWS_DIR}/COPYING DESTINATION licenses RENAME Quorvane-COPYING.txt)
  endif()
  get_filename_component(qt_prefix "${Qt6_DIR}/../../.." ABSOLUTE)
  if(EXISTS ${qt_prefix}/licenses)
    install(DIRECTORY ${qt_prefix}/licenses/ DESTINATION licenses/Qt)
  else()
    message(WARNING "${qt_prefix}/licenses not found: the deployment folder lacks Qt's licence texts")
  endif()
  if(MINGW)
    foreach(package IN ITEMS gcc-mingw-w64-base mingw-w64-common)
      if(EXISTS /usr/share/doc/${package}/copyright)
        install(FILES /usr/share/doc/${package}/copyright DESTINATION licenses/MinGW
                RENAME ${package}.txt)
      endif()
    endforeach()
  endif()
endfunction()

function(quorvane_windows_package)
  # The desktop programs: the control panel and the station window.
  set(QUORVANE_WINDOWS_GUI_PROGRAMS "")
  foreach(entry IN ITEMS "quorvane:Quorvane service tool for digital satellite receivers"
                         "quorvane-station:Quorvane station for many receivers at once")
    string(FIND "${entry}" ":" colon)
    string(SUBSTRING "${entry}" 0 ${colon} program)
    math(EXPR colon "${colon} + 1")
    string(SUBSTRING "${entry}" ${colon} -1 description)
    if(TARGET ${program})
      set_target_properties(${program} PROPERTIES WIN32_EXECUTABLE ON)
      quorvane_windows_resources(${program} "${description}")
      install(TARGETS ${program} RUNTIME DESTINATION .)
      list(APPEND QUORVANE_WINDOWS_GUI_PROGRAMS ${program}.exe)
    endif()
  endforeach()
  if(QUORVANE_WINDOWS_GUI_PROGRAMS)
    quorvane_windows_deploy()
  endif()
  if(TARGET quorvane-cli)
    install(TARGETS quorvane-cli RUNTIME DESTINATION .)
  endif()
  install(FILES ${QUORVANE_WINDOWS_DIR}/README.md DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME Quorvane)
  set(CPACK_PACKAGE_VENDOR Quorvane)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_FILE_NAME Quorvane-${PROJECT_VERSION}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_STRIP_FILES ON)
  # The installer (cpack -G NSIS): for all users under Program Files, a
  # Start-menu entry, an uninstaller listed in Apps & features.
  set(CPACK_PACKAGE_INSTALL_DIRECTORY Quorvane)
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Quorvane)
  # A 64-bit installer (Debian's nsis has the amd64 stubs): it runs where
  # 32-bit programs can't (Wine without wine32) and sees the 64-bit
  # Program Files and registry.
  set(CPACK_NSIS_DEFINES "Target amd64-unicode")
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_NSIS_DISPLAY_NAME "Quorvane ${PROJECT_VERSION}")
  set(CPACK_NSIS_PACKAGE_NAME "Quorvane ${PROJECT_VERSION}")
  set(CPACK_NSIS_MENU_LINKS quorvane.exe "Quorvane" quorvane-station.exe "Quorvane Station")
  set(CPACK_NSIS_INSTALLED_ICON_NAME quorvane.exe)
  set(CPACK_NSIS_MUI_ICON ${QUORVANE_WINDOWS_DIR}/resources/quorvane.ico)
  set(CPACK_NSIS_MUI_UNIICON ${QUORVANE_WINDOWS_DIR}/resources/quorvane.ico)
  if(EXISTS ${QUORVANE_WINDOWS_DIR}/COPYING)
    set(CPACK_RESOURCE_FILE_LICENSE ${QUORVANE_WINDOWS_DIR}/COPYING)
  endif()
  include(CPack)
endfunction()
cmake_language(DEFER CALL quorvane_windows_package)
