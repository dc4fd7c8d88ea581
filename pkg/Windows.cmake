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
if(TARGET updater_icon_files)
    add_dependencies(updater-cli updater_icon_files)
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

# The product's copyright and the notices of the libraries that come with it: the
# installer's licence page shows LICENSE.txt, and the zip holds the same files.
string(SUBSTRING ${UPDATER_RELEASE_DATE} 0 4 UPDATER_RELEASE_YEAR)
configure_file(LICENSE-windows.txt.in LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
set(license_files ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt)
foreach(text LGPL-3 GPL-3)
    if(NOT EXISTS /usr/share/common-licenses/${text})
        message(FATAL_ERROR "/usr/share/common-licenses/${text}: missing (package base-files)")
    endif()
    file(READ /usr/share/common-licenses/${text} license_text)
    string(REPLACE "\n" "\r\n" license_text "${license_text}")
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${text}.txt "${license_text}")
    list(APPEND license_files ${CMAKE_CURRENT_BINARY_DIR}/${text}.txt)
endforeach()
install(FILES ${license_files} DESTINATION ${win_dir})

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
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt)
# Apps & features shows the folder and the size (in KiB: the files of the one
# installing section). CPack copies these values into its configuration without
# escaping them: a backslash is written twice here, and NSIS's strings take single
# quotes.
set(uninstall_key
    "Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\Updater ${PROJECT_VERSION}")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Updater ${PROJECT_VERSION}")
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "
  WriteRegStr SHCTX '${uninstall_key}' 'InstallLocation' '$INSTDIR'
  SectionGetSize 0 $0
  WriteRegDWORD SHCTX '${uninstall_key}' 'EstimatedSize' $0")
# The uninstaller takes the product's key away, and with it the vendor's key that
# held nothing else. These commands run after the product's key is deleted.
set(CPACK_NSIS_DELETE_ICONS_EXTRA "
  DeleteRegKey /ifempty SHCTX 'Software\\\\${CPACK_PACKAGE_VENDOR}'")
# A 64-bit installer for 64-bit programs, into the 64-bit Program Files.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
include(CPack)
