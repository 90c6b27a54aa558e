# The Windows build of the application: its programs run from one folder,
# bin/, with what they need beside them, as a test station installs them: the
# Qt DLLs, the Windows platform plugin and style, and the MinGW-w64 runtime
# that Qt's DLLs import. The same files make the package (CPack: an NSIS
# installer and a ZIP).

set(KORVANE_WINDOWS_BIN ${CMAKE_BINARY_DIR}/bin)

# The MinGW-w64 runtime DLLs, where the compiler finds them.
set(korvane_mingw_runtime)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "The MinGW-w64 runtime ${dll} was not found (the compiler said: ${path})")
    endif()
    get_filename_component(path "${path}" REALPATH)
    list(APPEND korvane_mingw_runtime "${path}")
endforeach()

set(korvane_qt_dlls $<TARGET_FILE:Qt5::Core> $<TARGET_FILE:Qt5::Gui> $<TARGET_FILE:Qt5::Widgets>)
set(korvane_qt_platform $<TARGET_FILE:Qt5::QWindowsIntegrationPlugin>)
set(korvane_qt_style $<TARGET_FILE:Qt5::QWindowsVistaStylePlugin>)

add_custom_target(korvane-windows-runtime ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KORVANE_WINDOWS_BIN}/platforms ${KORVANE_WINDOWS_BIN}/styles
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${korvane_qt_dlls} ${korvane_mingw_runtime} ${KORVANE_WINDOWS_BIN}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${korvane_qt_platform} ${KORVANE_WINDOWS_BIN}/platforms
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${korvane_qt_style} ${KORVANE_WINDOWS_BIN}/styles
    COMMENT "Qt and the MinGW-w64 runtime beside the Windows programs"
    VERBATIM)

# A Qt program of the Windows build: in bin/, with its DLLs.
function(korvane_windows_program target)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${KORVANE_WINDOWS_BIN})
    add_dependencies(${target} korvane-windows-runtime)
endfunction()

# The Qt tests of the Windows build need the Test DLL too; it is not shipped.
function(korvane_windows_test_program target)
    korvane_windows_program(${target})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:Qt5::Test> ${KORVANE_WINDOWS_BIN}
        VERBATIM)
endfunction()

