# Removes the files listed in an install manifest: cmake -DMANIFEST=<file> -P Uninstall.cmake.
# The manifest holds the paths without DESTDIR, so the same DESTDIR must be set as for the
# install. Folders are left in place, since others may share them.
if(NOT EXISTS "${MANIFEST}")
    message(FATAL_ERROR "Nothing to uninstall: ${MANIFEST} does not exist")
endif()
file(STRINGS "${MANIFEST}" installed)
foreach(file IN LISTS installed)
    set(path "$ENV{DESTDIR}${file}")
    if(EXISTS "${path}" OR IS_SYMLINK "${path}")
        message(STATUS "Removing ${path}")
        file(REMOVE "${path}")
    else()
        message(STATUS "Already gone: ${path}")
    endif()
endforeach()
