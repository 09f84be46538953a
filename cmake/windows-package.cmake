# The Windows program folder, as a user unpacks it: both programs, the tools beside them, the
# data files, and every library and plugin they load (there is no windeployqt for a cross
# build, so the list is ours). `cpack` zips it as quorvane-<version>-windows-x64.zip.
install(TARGETS quorvane quorvane-cli RUNTIME DESTINATION .)
install(PROGRAMS ${QUORVANE_ffmpeg_PATH} ${QUORVANE_lame_PATH} DESTINATION .)
install(DIRECTORY data/ DESTINATION .)

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

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VENDOR Harrowmede)
set(CPACK_PACKAGE_FILE_NAME quorvane-${PROJECT_VERSION}-windows-x64)
set(CPACK_STRIP_FILES ON)
include(CPack)
