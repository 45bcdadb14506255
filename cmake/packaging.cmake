# The Debian package, built by `make package` (cpack in the build tree): /usr/bin/qm47t-converter
# with its desktop entry, icons, AppStream metainfo, manual pages, copyright and changelog (the last
# three from packaging/). Windows has its own setup program (packaging/windows/).
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qm47t-converter)
# CPack's own default keeps only three parts of the version and would drop the fourth.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The maintainer is the contact the AppStream metainfo names, so there is one address to keep.
file(READ ${PROJECT_SOURCE_DIR}/resources/io.github.qm47t.converter.metainfo.xml metainfo)
if(NOT metainfo MATCHES "<developer_name>([^<]+)</developer_name>")
    message(FATAL_ERROR "the metainfo names no developer")
endif()
set(maintainerName ${CMAKE_MATCH_1})
if(NOT metainfo MATCHES "<update_contact>([^<]+)</update_contact>")
    message(FATAL_ERROR "the metainfo names no update contact")
endif()
set(CPACK_PACKAGE_CONTACT "${maintainerName} <${CMAKE_MATCH_1}>")
set(CPACK_PACKAGE_DESCRIPTION [[
Type letters, digits or Chinese characters and the program writes them as
UTF-16BE to the first serial port (/dev/ttyS0) at 9600 bit/s 8N1, where a
QM47T SMS data-transmission module sends them on as a text message.
The window is in Simplified Chinese.]])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not linked, so dpkg-shlibdeps cannot see them: Qt's own Chinese messages and buttons, and a font
# that has the Chinese glyphs of the window.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-translations-l10n, fonts-noto-cjk | fonts-wqy-microhei")
# Typing Chinese into the box needs an input method with a Qt 6 front end (ibus's ships with Qt).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fcitx5-frontend-qt6 | ibus")

# Debian links its programs with full RELRO: the relocation table goes read-only before main().
target_link_options(qm47t-converter PRIVATE LINKER:-z,relro,-z,now)

include(CPack)
