# The Windows program folder, as a user unpacks it: both programs, the tools beside them, the
# data files, every library and plugin they load (there is no windeployqt for a cross build, so
# the list is ours), the licence and the notices of what it includes. `cpack` zips it as
# quorvane-<version>-windows-x64.zip; the quorvane_setup target below makes the installer of it.
set(CMAKE_INSTALL_MESSAGE NEVER)
install(TARGETS quorvane quorvane-cli RUNTIME DESTINATION .)
install(PROGRAMS ${QUORVANE_ffmpeg_PATH} ${QUORVANE_lame_PATH} DESTINATION .)
install(DIRECTORY data/ DESTINATION .)
install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
install(FILES packaging/windows/NOTICES.txt DESTINATION .)
install(DIRECTORY packaging/windows/licenses DESTINATION .)

foreach(module Core Gui Widgets Network Concurrent Multimedia)
    install(FILES $<TARGET_FILE:Qt6::${module}> DESTINATION .)
endforeach()
# Plugins go in folders named by kind beside the program, where Qt looks for them.
set(qt_plugins ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS})
foreach(plugin platforms/qwindows styles/qwindowsvistastyle multimedia/windowsmediaplugin
               imageformats/qgif imageformats/qico imageformats/qjpeg)
    get_filename_component(kind ${plugin} DIRECTORY)
    install(FILES ${qt_plugins}/${plugin}.dll DESTINATION ${kind})
endforeach()

# TagLib and zlib from the toolchain; the compiler's own runtime from the compiler.
find_file(QUORVANE_TAGLIB_DLL libtag.dll PATHS ${CMAKE_FIND_ROOT_PATH} PATH_SUFFIXES bin
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_file(QUORVANE_ZLIB_DLL zlib1.dll PATHS ${CMAKE_FIND_ROOT_PATH} PATH_SUFFIXES bin lib
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(runtime_dlls ${QUORVANE_TAGLIB_DLL} ${QUORVANE_ZLIB_DLL})
foreach(dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${found}")
        message(FATAL_ERROR "The compiler does not know where ${dll} is")
    endif()
    list(APPEND runtime_dlls ${found})
endforeach()
install(FILES ${runtime_dlls} DESTINATION .)

# Every program and library leaves without its debugging sections: the toolchain's and the
# compiler's keep theirs otherwise, and they are half of the folder's size.
install(CODE "
    file(GLOB_RECURSE binaries \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/*.exe\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/*.dll\")
    foreach(binary IN LISTS binaries)
        execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\${binary}\" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VENDOR Harrowmede)
set(CPACK_PACKAGE_FILE_NAME quorvane-${PROJECT_VERSION}-windows-x64)
include(CPack)

# The installer (QUORVANE_SETUP, named in the top folder's CMakeLists.txt for the tests) holds
# the same folder, laid out once more in QUORVANE_SETUP_FILES.
find_program(QUORVANE_MAKENSIS makensis REQUIRED)
set(setup_files ${QUORVANE_SETUP_FILES})
set(setup_list ${CMAKE_BINARY_DIR}/setup-files.nsh)
add_custom_target(quorvane_setup
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${setup_files}
    COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${setup_files}
    COMMAND ${CMAKE_COMMAND} -D FILES=${setup_files} -D FILE_LIST=${setup_list}
            -P ${CMAKE_SOURCE_DIR}/cmake/windows-setup-files.cmake
    COMMAND ${QUORVANE_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DFILES=${setup_files}
            -DFILE_LIST=${setup_list} -DOUTFILE=${QUORVANE_SETUP} ${CMAKE_SOURCE_DIR}/packaging/windows/quorvane.nsi
    DEPENDS quorvane quorvane-cli quorvane_data
    COMMENT "Making the installer ${QUORVANE_SETUP}"
    VERBATIM)
