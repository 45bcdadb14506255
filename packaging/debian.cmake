# The Debian package, built by `make package` (cpack in the build tree): /usr/bin/qm47t-converter
# with its desktop entry, icons and AppStream metainfo, and from here its manual pages, copyright
# and changelog. lintian checks it in tests/package/.
include(GNUInstallDirs)

# Debian wants manual pages and the changelog compressed with gzip -9n: no name or time stamp, so
# that the same sources give the same package.
function(qm47t_gzip source output)
    add_custom_command(OUTPUT ${output}
        COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" sh ${source} ${output}
        DEPENDS ${source}
        VERBATIM)
endfunction()

set(manPage ${CMAKE_CURRENT_BINARY_DIR}/man/qm47t-converter.1.gz)
set(manPageZh ${CMAKE_CURRENT_BINARY_DIR}/man/zh_CN/qm47t-converter.1.gz)
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man/zh_CN)
qm47t_gzip(${CMAKE_CURRENT_SOURCE_DIR}/man/qm47t-converter.1 ${manPage})
qm47t_gzip(${CMAKE_CURRENT_SOURCE_DIR}/man/qm47t-converter.zh_CN.1 ${manPageZh})
qm47t_gzip(${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog ${changelog})
add_custom_target(qm47t_release_docs ALL DEPENDS ${manPage} ${manPageZh} ${changelog})

# The newest changelog entry names the version being released; a package whose changelog says
# otherwise misleads whoever reads it.
file(STRINGS debian/changelog newestEntry LIMIT_COUNT 1)
if(NOT newestEntry MATCHES "^qm47t-converter \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog starts with '${newestEntry}', "
                        "not with an entry for version ${PROJECT_VERSION}")
endif()

install(FILES ${manPage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${manPageZh} DESTINATION ${CMAKE_INSTALL_MANDIR}/zh_CN/man1)
install(FILES debian/copyright ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qm47t-converter)
# CPack's own default keeps only three parts of the version and would drop the fourth.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${releaseDeveloper} <${releaseContact}>")
set(CPACK_PACKAGE_DESCRIPTION [[
Type letters, digits or Chinese characters and the program writes them as
UTF-16BE to COM1 at 9600 bit/s 8N1, where a QM47T SMS data-transmission
module sends them on as a text message. COM1 is /dev/COM1 if the system
names a port so (an example udev rule for a USB adapter is included),
otherwise the first serial port, /dev/ttyS0.
The window is in Simplified Chinese.]])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian-strip.cmake)
set(CPACK_STRIP_COMMAND ${CMAKE_STRIP})

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
