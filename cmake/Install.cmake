# Installing and packaging.
#
# The wizard looks for sv6.exe, sv6admin.exe and its manual SVCorblexAppGen.pdf in the
# folder of its own program file, so all programs and the manual go into one application
# folder (lib/svcorblex below the prefix). bin/ holds relative symbolic links to the
# programs a user starts; the wizard resolves its own folder through the link.
#
#   cmake --install build/release --prefix /opt/svc     lays it out under /opt/svc
#   cd build/release && cpack -G DEB                     builds svcorblex-appgen_<ver>_<arch>.deb

include(GNUInstallDirs)

# Not CMAKE_INSTALL_LIBDIR: on Debian that holds the multiarch triplet, and this folder is
# a program folder, not a library folder.
set(SVC_INSTALL_APPDIR "lib/svcorblex"
    CACHE STRING "Folder below the prefix for the programs and the manual")

# The wizard, the workstation stand-ins, the demo hub, the request tool and the manual.
install(TARGETS SVCorblexAppGen sv6 sv6admin svcorblex-hub svcorblex-request
        RUNTIME DESTINATION "${SVC_INSTALL_APPDIR}")
install(FILES "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/SVCorblexAppGen.pdf"
        DESTINATION "${SVC_INSTALL_APPDIR}")

# Relative links in bin/, made once in the build tree and installed as links, so that they
# stay right whatever the prefix and under DESTDIR.
set(svc_link_dir "${CMAKE_BINARY_DIR}/install-links")
file(MAKE_DIRECTORY "${svc_link_dir}")
file(RELATIVE_PATH svc_bin_to_app "/root/${CMAKE_INSTALL_BINDIR}" "/root/${SVC_INSTALL_APPDIR}")
foreach(program IN ITEMS SVCorblexAppGen svcorblex-hub svcorblex-request)
    file(CREATE_LINK "${svc_bin_to_app}/${program}" "${svc_link_dir}/${program}" SYMBOLIC)
    install(FILES "${svc_link_dir}/${program}" DESTINATION "${CMAKE_INSTALL_BINDIR}")
endforeach()

install(FILES "${CMAKE_SOURCE_DIR}/data/svcorblex-appgen.desktop"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
install(FILES "${CMAKE_SOURCE_DIR}/data/svcorblex-appgen.svg"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")

# The protocol and format notes, for people who write their own hub or reader, and the tag
# file's keys, for whoever runs the hub as a service.
install(FILES docs/demo-hub.md docs/hub-config.md docs/hub-protocol.md docs/svt-format.md
        DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/svcorblex-appgen")

# The hub as a system service: its unit, its tag file and the root-only file for broker
# passwords. The unit names the program at its place under /usr, and /etc and the unit
# folder belong to the system rather than to the prefix; so these are installed only when the
# prefix is /usr, as in the package (`--prefix /opt/svc` leaves them out and /etc alone).
# The unit goes to /lib/systemd/system, where Debian 12's packages put theirs (pkg-config's
# systemdsystemunitdir), which holds whether or not /lib is merged into /usr.
set(SVC_SERVICE_UNIT_DIR "/lib/systemd/system")
set(SVC_SERVICE_CONFIG_DIR "/etc/svcorblex")
install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        file(INSTALL \"${CMAKE_SOURCE_DIR}/data/svcorblex-hub.service\"
             DESTINATION \"${SVC_SERVICE_UNIT_DIR}\"
             PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
        file(INSTALL \"${CMAKE_SOURCE_DIR}/data/hub.tags\"
             DESTINATION \"${SVC_SERVICE_CONFIG_DIR}\"
             PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
        file(INSTALL \"${CMAKE_SOURCE_DIR}/data/hub.env\"
             DESTINATION \"${SVC_SERVICE_CONFIG_DIR}\"
             PERMISSIONS OWNER_READ OWNER_WRITE)
    else()
        message(STATUS \"Leaving out the svcorblex-hub service: the prefix is not /usr\")
    endif()")

# Debian package.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "svcorblex-appgen")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "SV Corblex Tools Team")
set(CPACK_PACKAGE_CONTACT "SV Corblex Tools Team <tools@svcorblex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "wizard that generates Solvane log-sheet applications from an SV Corblex hub")
# Lines of the long description are kept short; CPack indents them for the control file.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "The SV Corblex Application Generator connects to an SV Corblex hub, samples"
    "the values of its tags to work out each tag's field type, length and"
    "decimals, lets the user choose the tags and lay out their column headings,"
    "and writes a Solvane application file (.SVT) with one linked variable per tag."
    ""
    "The package also holds the workstation programs sv6.exe (live log sheet) and"
    "sv6admin.exe (administration view), the demo hub svcorblex-hub, which"
    "publishes a simulated plant, the request tool svcorblex-request and the"
    "user manual.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "misc")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Library dependencies are read off the programs by dpkg-shlibdeps (package dpkg-dev);
# what the programs load at run time without linking it is named here: the platform
# plugins that show windows, and the fonts the fixed window layout is measured with.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The service's reload runs /bin/kill, which procps provides.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation2, procps")
# Help opens the manual with the desktop's PDF viewer.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
# The files in /etc are the administrator's once installed: dpkg keeps their edits on upgrade
# and removal. The maintainer scripts tell a running systemd about the unit, restart a running
# hub after an upgrade and stop it on removal; installing neither enables nor starts it.
set(svc_control_dir "${CMAKE_BINARY_DIR}/deb-control")
file(MAKE_DIRECTORY "${svc_control_dir}")
file(WRITE "${svc_control_dir}/conffiles"
     "${SVC_SERVICE_CONFIG_DIR}/hub.tags\n${SVC_SERVICE_CONFIG_DIR}/hub.env\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${svc_control_dir}/conffiles"
    "${CMAKE_SOURCE_DIR}/data/deb/postinst"
    "${CMAKE_SOURCE_DIR}/data/deb/prerm"
    "${CMAKE_SOURCE_DIR}/data/deb/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/\\\\.git/" "/\\\\.cache/")
include(CPack)
