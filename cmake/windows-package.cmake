# The package a Windows test station installs: both programs, the Qt DLLs
# and plugins and the MinGW-w64 runtime they need (cmake/windows-deploy.cmake),
# the README and the troubleshooting guide. `cpack` in the Windows build
# folder makes KorvaneSoft-<version>-win64.exe (NSIS) and .zip.

install(TARGETS KorvaneSoft korvane-check RUNTIME DESTINATION . COMPONENT application)
install(FILES ${korvane_qt_dlls} ${korvane_mingw_runtime} DESTINATION . COMPONENT application)
install(FILES ${korvane_qt_platform} DESTINATION platforms COMPONENT application)
install(FILES ${korvane_qt_style} DESTINATION styles COMPONENT application)
# The README where its links to docs/ hold.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT application)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION docs COMPONENT application
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png")
# Licences of what the package carries besides the tool.
get_filename_component(korvane_qt_prefix "${Qt5_DIR}/../../.." REALPATH)
install(DIRECTORY ${korvane_qt_prefix}/licenses/ DESTINATION docs/licenses/qt COMPONENT application)
foreach(package gcc-mingw-w64-x86-64-posix-runtime mingw-w64-x86-64-dev)
    if(NOT EXISTS /usr/share/doc/${package}/copyright)
        message(FATAL_ERROR "No licence of the MinGW-w64 runtime at /usr/share/doc/${package}/copyright")
    endif()
    install(FILES /usr/share/doc/${package}/copyright DESTINATION docs/licenses/mingw-w64-runtime
            RENAME ${package}-copyright COMPONENT application)
endforeach()

set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME KorvaneSoft)
set(CPACK_PACKAGE_VENDOR "Korvane")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Korvane soft: test tool for the two-channel CAN board")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY KorvaneSoft)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY KorvaneSoft)
set(CPACK_PACKAGE_EXECUTABLES KorvaneSoft "Korvane soft")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# A 64-bit installer (Debian's NSIS has the amd64 stubs), for 64-bit programs:
# it writes the 64-bit registry and runs where no 32-bit subsystem is.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_DISPLAY_NAME "Korvane soft ${PROJECT_VERSION}")
set(CPACK_NSIS_PACKAGE_NAME "Korvane soft ${PROJECT_VERSION}")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_NSIS_MUI_FINISHPAGE_RUN KorvaneSoft.exe)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/cmake/package-notice.txt)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
include(CPack)
