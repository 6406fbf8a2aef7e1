# Installs into a scratch prefix and validates what a desktop reads: the .desktop file, the
# AppStream metainfo and the icon.
set(prefix "${BUILD}/install-check")
file(REMOVE_RECURSE "${prefix}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD}" --prefix "${prefix}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install failed")
endif()
foreach(f bin/orvane share/applications/orvane.desktop
          share/icons/hicolor/scalable/apps/orvane.svg share/metainfo/org.orvane.Orvane.metainfo.xml)
    if(NOT EXISTS "${prefix}/${f}")
        message(FATAL_ERROR "not installed: ${f}")
    endif()
endforeach()
execute_process(COMMAND desktop-file-validate "${prefix}/share/applications/orvane.desktop"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR out MATCHES "error")
    message(FATAL_ERROR "desktop-file-validate: ${out}")
endif()
execute_process(COMMAND appstreamcli validate --no-net --explain
                        "${prefix}/share/metainfo/org.orvane.Orvane.metainfo.xml"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "appstreamcli validate: ${out}")
endif()
file(READ "${prefix}/share/applications/orvane.desktop" desktop)
if(NOT desktop MATCHES "Exec=orvane %U" OR NOT desktop MATCHES "audio/flac")
    message(FATAL_ERROR "the desktop file lacks its Exec or MimeType")
endif()
message(STATUS "install check passed")
