# Installing Tonalyx as a command-line tool: the two programs, their manual pages made from their
# own --help and --version, completions for bash, zsh and fish, the copyright file and the
# changelog, an uninstall target that removes what the last install wrote, and a Debian package.
include(GNUInstallDirs)

find_program(HELP2MAN help2man REQUIRED)
find_program(PERL perl REQUIRED)
find_program(GZIP gzip REQUIRED)

install(TARGETS tonalyx tonalyx-signal RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (the package's, or cmake --install --strip) also drops the .comment section,
# which holds only the compiler's version, as Debian's own packaging tools do.
install(CODE "set(strip \"${CMAKE_STRIP}\")
    set(programs \"${CMAKE_INSTALL_BINDIR}/tonalyx;${CMAKE_INSTALL_BINDIR}/tonalyx-signal\")")
install(CODE [[
    if(CMAKE_INSTALL_DO_STRIP)
        foreach(program IN LISTS programs)
            execute_process(COMMAND "${strip}" --remove-section=.comment
                                    "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${program}"
                            COMMAND_ERROR_IS_FATAL ANY)
        endforeach()
    endif()
]])

# help2man runs each program for its --help and --version and adds the sections of its include
# file. Characters beyond ASCII (the dashes of the help texts) become groff escapes, so the page
# renders the same in any locale; the installed page is compressed.
set(TONALYX_MAN_PAGES)
foreach(program tonalyx tonalyx-signal)
    set(include ${PROJECT_SOURCE_DIR}/share/man/${program}.h2m)
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page} ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${HELP2MAN} --no-info --locale=C.UTF-8 --include=${include} --output=${page}
                $<TARGET_FILE:${program}>
        COMMAND ${PERL} -CSD -i -pe [=[s/([^\x00-\x7F])/sprintf("\\[u%04X]", ord $1)/ge]=] ${page}
        COMMAND ${GZIP} -9 -n -f -k ${page}
        DEPENDS ${program} ${include}
        COMMENT "Writing the manual page ${program}.1"
        VERBATIM)
    list(APPEND TONALYX_MAN_PAGES ${page}.gz)
endforeach()
add_custom_target(man ALL DEPENDS ${TONALYX_MAN_PAGES})
install(FILES ${TONALYX_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(completions ${PROJECT_SOURCE_DIR}/share/completions)
install(FILES ${completions}/tonalyx.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tonalyx)
install(FILES ${completions}/tonalyx.fish
        DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)
# zsh looks for vendor completions under /usr in share/zsh/vendor-completions, and under any
# other prefix (/usr/local among them) in share/zsh/site-functions. The prefix is only known at
# install time, since the package installs under /usr whatever the build was configured with.
install(CODE "set(zsh_completion ${completions}/_tonalyx)")
install(CODE [[
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
        set(zsh_folder share/zsh/vendor-completions)
    else()
        set(zsh_folder share/zsh/site-functions)
    endif()
    file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${zsh_folder}" TYPE FILE
         FILES "${zsh_completion}")
]])

# Whoever builds the package for others names themselves as its maintainer, in its control file
# and its changelog; the default's address is a placeholder under example.org.
set(TONALYX_MAINTAINER "The Tonalyx developers <tonalyx@example.org>" CACHE STRING
    "Maintainer of the Debian package, as \"Name <address>\"")
if(NOT TONALYX_MAINTAINER MATCHES "^[^<>]*[^<> ] <[^<>@ ]+@[^<>@ ]+>$")
    message(FATAL_ERROR
        "TONALYX_MAINTAINER is \"${TONALYX_MAINTAINER}\", not of the form \"Name <address>\"")
endif()

# The copyright file in Debian's machine-readable format, made from LICENSE, and the changelog in
# Debian's format, made from CHANGELOG.md and compressed without a name or time stamp so that the
# same sources give the same package. The maintainer file changes only when the maintainer does,
# and then makes the changelog again.
set(doc ${PROJECT_BINARY_DIR}/doc)
file(CONFIGURE OUTPUT ${doc}/maintainer CONTENT "${TONALYX_MAINTAINER}\n")
add_custom_command(OUTPUT ${doc}/copyright
    COMMAND ${CMAKE_COMMAND} -DLICENSE=${PROJECT_SOURCE_DIR}/LICENSE -DOUTPUT=${doc}/copyright
            -P ${CMAKE_CURRENT_LIST_DIR}/Copyright.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_CURRENT_LIST_DIR}/Copyright.cmake
    COMMENT "Writing the copyright file"
    VERBATIM)
add_custom_command(OUTPUT ${doc}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -DCHANGELOG=${PROJECT_SOURCE_DIR}/CHANGELOG.md
            -DMAINTAINER=${TONALYX_MAINTAINER} -DOUTPUT=${doc}/changelog
            -P ${CMAKE_CURRENT_LIST_DIR}/Changelog.cmake
    COMMAND ${GZIP} -9 -n -f ${doc}/changelog
    DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${CMAKE_CURRENT_LIST_DIR}/Changelog.cmake
            ${doc}/maintainer
    COMMENT "Writing the changelog"
    VERBATIM)
add_custom_target(doc ALL DEPENDS ${doc}/copyright ${doc}/changelog.gz)
install(FILES ${doc}/copyright ${doc}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Removes every file that the last install listed in its manifest, and nothing else.
add_custom_target(uninstall
    COMMAND ${CMAKE_COMMAND} -DMANIFEST=${PROJECT_BINARY_DIR}/install_manifest.txt
            -P ${CMAKE_CURRENT_LIST_DIR}/Uninstall.cmake
    VERBATIM)

# The Debian package: tonalyx_<version>_<arch>.deb, installed under /usr, its library
# dependencies found by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tonalyx)
set(CPACK_PACKAGE_CONTACT "${TONALYX_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TONALYX_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live audio spectrum analyser for the terminal")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Tonalyx reads raw s16le PCM from standard input, a file or pw-record and\n"
    "fills the terminal with one bar per column, drawn in eighth blocks at 60\n"
    "frames per second, writing only the cells that changed. The package also\n"
    "holds tonalyx-signal, which writes test signals to pipe into it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pipewire-bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
