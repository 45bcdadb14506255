# The Debian package, built by `make package` (cpack in the build tree): /usr/bin/qm47t-converter
# with its desktop entry, icons and AppStream metainfo. Other systems get no package.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qm47t-converter)
# CPack's own default keeps only three parts of the version and would drop the fourth.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "qm47t-converter maintainers <maintainers@users.noreply.c-seed-ad8f995a.example>")
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

include(CPack)
