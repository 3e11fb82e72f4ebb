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

# The protocol and format notes, for people who write their own hub or reader.
install(FILES docs/demo-hub.md docs/hub-protocol.md docs/svt-format.md
        DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/svcorblex-appgen")

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
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation2")
# Help opens the manual with the desktop's PDF viewer.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/\\\\.git/" "/\\\\.cache/")
include(CPack)
