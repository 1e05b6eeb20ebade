# What `cmake --install` puts where, and the Debian package built from it by CPack.
include(GNUInstallDirs)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS vglog RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET vglog-sim)
    install(TARGETS vglog-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The plot tool learns its release number on the way.
configure_file(tools/plot/vglog-plot ${PROJECT_BINARY_DIR}/vglog-plot @ONLY)
install(PROGRAMS ${PROJECT_BINARY_DIR}/vglog-plot DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The README's links into docs/ must hold where it is installed too.
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png")

if(NOT WIN32)
    # Manual pages go in compressed, as Debian's tools expect; man reads them either way.
    file(GLOB vglog_man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.1)
    find_program(VGLOG_GZIP gzip)
    set(vglog_man_out)
    foreach(page IN LISTS vglog_man_pages)
        get_filename_component(name ${page} NAME)
        if(VGLOG_GZIP)
            set(out ${PROJECT_BINARY_DIR}/man/${name}.gz)
            # -n keeps names and times out, so the same page gives the same bytes.
            add_custom_command(OUTPUT ${out}
                COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                COMMAND ${VGLOG_GZIP} -9nc ${page} > ${out}
                DEPENDS ${page} VERBATIM)
            list(APPEND vglog_man_out ${out})
        else()
            list(APPEND vglog_man_out ${page})
        endif()
    endforeach()
    add_custom_target(vglog_man_pages ALL DEPENDS ${vglog_man_out})
    install(FILES ${vglog_man_out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

    # Where bash-completion looks, relative to the install prefix, so --prefix still works.
    set(vglog_completions_dir ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
        pkg_get_variable(bc_dir bash-completion completionsdir)
        pkg_get_variable(bc_prefix bash-completion prefix)
        if(bc_dir AND bc_prefix AND bc_dir MATCHES "^${bc_prefix}/(.+)$")
            set(vglog_completions_dir ${CMAKE_MATCH_1})
        endif()
    endif()
    # bash-completion loads a command's completion by the command's name: one file, three names.
    foreach(command vglog vglog-sim vglog-plot)
        install(FILES dist/vglog.bash-completion DESTINATION ${vglog_completions_dir}
                RENAME ${command})
    endforeach()

    # The service: a template unit (not enabled), the user it runs as, and the udev rule as an
    # example only, since it names one adapter's ids. Under the prefix, where systemd and
    # systemd-sysusers look for /usr and /usr/local alike.
    set(VGLOG_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
        "Where the unit goes, relative to the prefix or absolute")
    # The unit starts the program where this install puts it: the prefix is the one given at
    # install time (cmake --install --prefix, the package's /usr), so it is filled in then.
    install(CODE "
        set(VGLOG_INSTALLED_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        configure_file(\"${PROJECT_SOURCE_DIR}/dist/vglog@.service.in\"
                       \"${PROJECT_BINARY_DIR}/vglog@.service\" @ONLY)")
    install(FILES "${PROJECT_BINARY_DIR}/vglog@.service" DESTINATION ${VGLOG_SYSTEMD_UNIT_DIR})
    install(FILES dist/vglog.sysusers DESTINATION lib/sysusers.d RENAME vglog.conf)
    install(FILES dist/99-vglog.rules.example DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

# The Debian package: cpack -G DEB in the build directory gives vglog_<version>_<arch>.deb.
set(CPACK_PACKAGE_NAME vglog)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The vglog developers")
set(CPACK_PACKAGE_CONTACT "The vglog developers <vglog@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "data logger for a serial motion-sensing board")
set(CPACK_PACKAGE_DESCRIPTION
    "vglog reads a motion-sensing board's binary packet stream from a serial port at
115200 baud, decodes it and writes two text logs: one line per angle and
acceleration sample, and a readable dump of every other packet. It survives
the board being unplugged and plugged back in, can keep the raw bytes and
decode them again later. vglog-sim plays the board on a pseudo-terminal for
trying it without hardware.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The plot tool is a python3 script (beside the libraries dpkg-shlibdeps finds); it draws with
# gnuplot, which logging does without.
set(CPACK_DEBIAN_PACKAGE_DEPENDS python3)
# --mqtt loads libmosquitto when asked (not linked, so dpkg-shlibdeps cannot see it).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnuplot-nox, libmosquitto1")
# postinst creates the service's user; the package uses systemd's tools where they are, else
# the passwd package's.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/dist/debian/postinst
    ${PROJECT_SOURCE_DIR}/dist/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

if(NOT WIN32)
    # Debian wants the licence as doc/<package>/copyright and a compressed changelog.
    install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
    if(VGLOG_GZIP)
        string(TIMESTAMP vglog_release_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
        file(WRITE ${PROJECT_BINARY_DIR}/changelog
            "vglog (${PROJECT_VERSION}) stable; urgency=medium\n\n"
            "  * Release ${PROJECT_VERSION}.\n\n"
            " -- ${CPACK_PACKAGE_CONTACT}  ${vglog_release_date}\n")
        execute_process(COMMAND ${VGLOG_GZIP} -9nc ${PROJECT_BINARY_DIR}/changelog
            OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.gz)
        install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
    endif()
endif()
include(CPack)
