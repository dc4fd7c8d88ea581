# The Windows package: one flat folder with both programs, the Qt libraries and
# plugins they load, the compiler's runtime libraries, the icon and a short
# README. `cpack` in the build folder makes updater-<version>-win64.zip and the
# NSIS installer (Start-menu entry, uninstaller) from it. Qt's windeployqt does
# not exist for a cross build, so every file is named here.
set(win_dir .)
set(installed_libraries) # their paths in the folder

if(TARGET updater)
    # The .rc file carries the icon, so the icon files are drawn first.
    add_dependencies(updater updater_icon_files)
    install(TARGETS updater RUNTIME DESTINATION ${win_dir})
    install(FILES ${UPDATER_ICON_DIR}/updater.ico DESTINATION ${win_dir})
endif()
install(TARGETS updater-cli RUNTIME DESTINATION ${win_dir})

# Qt's libraries, and the plugins the window needs: the Windows platform and the
# native style. Qt looks for plugins in folders beside its libraries.
set(qt_libraries Qt6::Core Qt6::Network)
if(TARGET updater)
    find_package(Qt6 REQUIRED COMPONENTS Gui Widgets) # their targets, in this folder too
    list(APPEND qt_libraries Qt6::Gui Qt6::Widgets)
    install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin>
            DESTINATION ${win_dir}/platforms)
    list(APPEND installed_libraries
         platforms/$<TARGET_FILE_NAME:Qt6::QWindowsIntegrationPlugin>)
    if(TARGET Qt6::QWindowsVistaStylePlugin)
        install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin>
                DESTINATION ${win_dir}/styles)
        list(APPEND installed_libraries
             styles/$<TARGET_FILE_NAME:Qt6::QWindowsVistaStylePlugin>)
    endif()
endif()
foreach(library IN LISTS qt_libraries)
    install(FILES $<TARGET_FILE:${library}> DESTINATION ${win_dir})
    list(APPEND installed_libraries $<TARGET_FILE_NAME:${library}>)
endforeach()

# The runtime of the mingw-w64 compiler that built the programs and Qt.
set(runtime_files)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(
        COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "${dll}: ${CMAKE_CXX_COMPILER} does not know where it is")
    endif()
    list(APPEND runtime_files ${path})
    list(APPEND installed_libraries ${dll})
endforeach()
install(FILES ${runtime_files} DESTINATION ${win_dir})

# The libraries come with their symbols (libstdc++ is 24 MB so, 2 MB without);
# the installed copies lose them.
install(CODE "
    foreach(library ${installed_libraries})
        execute_process(
            COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${library}\"
            COMMAND_ERROR_IS_FATAL ANY)
    endforeach()")

configure_file(README-windows.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION ${win_dir})

set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VENDOR "The Updater maintainers")
set(CPACK_PACKAGE_CONTACT ${UPDATER_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write new firmware into a solar inverter")
set(CPACK_PACKAGE_FILE_NAME updater-${PROJECT_VERSION}-win64)
set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_INSTALL_DIRECTORY Updater)
set(CPACK_PACKAGE_EXECUTABLES updater Updater)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY ${win_dir})
set(CPACK_NSIS_DISPLAY_NAME "Updater ${PROJECT_VERSION}")
set(CPACK_NSIS_PACKAGE_NAME "Updater ${PROJECT_VERSION}")
set(CPACK_NSIS_INSTALLED_ICON_NAME updater.exe)
set(CPACK_NSIS_MUI_ICON ${UPDATER_ICON_DIR}/updater.ico)
set(CPACK_NSIS_MUI_UNIICON ${UPDATER_ICON_DIR}/updater.ico)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# A 64-bit installer for 64-bit programs, into the 64-bit Program Files.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
include(CPack)
