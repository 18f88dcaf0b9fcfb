# The Debian package (cpack -G DEB; scripts/package.sh drives it). Its
# dependencies are computed from the shared libraries the programs link.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME parcelwise)
set(CPACK_PACKAGE_VENDOR Quillmark)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${PARCELWISE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "save the attachments of many e-mail messages at once")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A packaging revision: the package's changelog is then Debian's own.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PARCELWISE_HOME_PAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded as plugins, so no linked library names them: the SVG icon engine
# that draws the window icon.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
# The windows need a display plugin beyond the one in libqt6gui6 on
# Wayland; not needed for parcelwise-cli.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The long description under the summary line; CPack indents it and marks
# the empty line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Parcelwise lists the messages of Outlook mail stores (.pst, .ost) and
Outlook Express message folders (.dbx), and saves the attachments of the
messages ticked into one folder, never writing over a file that is already
there. winmail.dat attachments are unpacked into the files they hold.

The package holds the desktop program (parcelwise), a command-line
program for scripts (parcelwise-cli) and a .dbx to .eml converter
(unfurl).")

include(CPack)
