# Removes the files listed in an install manifest: cmake -DMANIFEST=<file> -P Uninstall.cmake.
# The manifest already holds the DESTDIR the install ran with. Folders are left in place, since
# others may share them.
if(NOT EXISTS "${MANIFEST}")
    message(FATAL_ERROR "Nothing to uninstall: ${MANIFEST} does not exist")
endif()
file(STRINGS "${MANIFEST}" installed)
foreach(file IN LISTS installed)
    if(EXISTS "${file}" OR IS_SYMLINK "${file}")
        message(STATUS "Removing ${file}")
        file(REMOVE "${file}")
        if(EXISTS "${file}")
            message(FATAL_ERROR "Could not remove ${file}")
        endif()
    else()
        message(STATUS "Already gone: ${file}")
    endif()
endforeach()
