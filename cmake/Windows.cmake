# The Windows side of the build (MinGW-w64 or MSVC); nothing here applies
# elsewhere. Included once from the top-level CMakeLists.txt.
#
#  - quorvane_windows_resources(target description): the program icon
#    (resources/quorvane.ico), version information from the project's
#    version and the manifest (resources/quorvane.manifest: UTF-8 as the
#    code page of byte strings), compiled into the executable.
#  - At the end of the top-level folder: the desktop program becomes a GUI
#    executable; install rules put the programs in one folder, with the Qt
#    libraries beside the desktop program (windeployqt, where found); CPack
#    makes a ZIP of that folder (`cpack -G ZIP` in the build folder).
if(NOT WIN32)
  return()
endif()
enable_language(RC)

set(QUORVANE_WINDOWS_DIR ${CMAKE_CURRENT_LIST_DIR}/..)

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

function(quorvane_windows_package)
  if(TARGET quorvane)
    set_target_properties(quorvane PROPERTIES WIN32_EXECUTABLE ON)
    quorvane_windows_resources(quorvane "Quorvane service tool for digital satellite receivers")
    install(TARGETS quorvane RUNTIME DESTINATION .)
    # windeployqt copies the Qt libraries, the platform plugin and (for
    # MinGW) the compiler's runtime libraries beside quorvane.exe.
    set(windeployqt "")
    if(TARGET Qt6::windeployqt)
      get_target_property(windeployqt Qt6::windeployqt IMPORTED_LOCATION)
    endif()
    if(NOT windeployqt)
      find_program(QUORVANE_WINDEPLOYQT windeployqt
        HINTS "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS}" "${Qt6_DIR}/../../../bin")
      set(windeployqt "${QUORVANE_WINDEPLOYQT}")
    endif()
    if(windeployqt)
      install(CODE "
        execute_process(
          COMMAND \"${windeployqt}\" --release --no-translations
                  \"\${CMAKE_INSTALL_PREFIX}/quorvane.exe\"
          COMMAND_ERROR_IS_FATAL ANY)")
    else()
      message(WARNING "windeployqt not found: the installed quorvane.exe needs the Qt "
                      "libraries copied beside it by hand")
    endif()
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
  include(CPack)
endfunction()
cmake_language(DEFER CALL quorvane_windows_package)
