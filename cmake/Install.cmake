# Installation and the Debian package.
#
#   cmake --install build --prefix /opt/quillpost
#     lib/quillpost/quillpost        the executable
#     lib/quillpost/Sound, 画像データ, help
#                                    links to share/quillpost/, so the
#                                    executable finds its files beside it
#     share/quillpost/               Sound/, 画像データ/, help/ (the user's
#                                    page): the same on every architecture
#     bin/quillpost                  the launcher (app/desktop/quillpost-launcher.sh)
#     share/applications/quillpost.desktop
#     share/metainfo/<id>.metainfo.xml  for software centres (AppStream)
#     share/icons/hicolor/<n>x<n>/apps/quillpost.png
#     share/quillpost/quillpost-autostart.desktop
#                                    an example to copy to ~/.config/autostart
#     share/man/man1, share/man/ja/man1, share/doc/quillpost
#                                    manual pages, licence, changelog
#                                    (cmake/Docs.cmake)
#
# The program keeps its settings in "★MailData" and its server file in the
# folder it starts in; neither can be in the shared installation. The
# launcher gives each user a folder of their own under
# ${XDG_DATA_HOME:-~/.local/share}/quillpost (a private "★MailData"), starts
# the installed executable there and names that folder to it in
# QUILLPOST_USER_FOLDER. No file name or format changes.
#
#   cmake --build build --target package      ->  build/quillpost_<version>_<arch>.deb
#     (-DQP_PACKAGE_MAINTAINER="Name <address>" names its maintainer)
#   sudo apt install ./build/quillpost_*.deb   (installs under /usr)

set(QP_INSTALL_PROGRAM_DIR lib/quillpost)
set(QP_INSTALL_DATA_DIR share/quillpost)

install(TARGETS quillpost RUNTIME DESTINATION ${QP_INSTALL_PROGRAM_DIR})
install(DIRECTORY "${CMAKE_SOURCE_DIR}/assets/Sound" "${CMAKE_SOURCE_DIR}/assets/画像データ"
                  "${CMAKE_SOURCE_DIR}/assets/help"
        DESTINATION ${QP_INSTALL_DATA_DIR}
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                              WORLD_READ WORLD_EXECUTE
        PATTERN ".keep" EXCLUDE)
# Relative links, so the installed tree can move (a package's staging folder).
file(RELATIVE_PATH QP_DATA_FROM_PROGRAM "/${QP_INSTALL_PROGRAM_DIR}" "/${QP_INSTALL_DATA_DIR}")
# An install over one of 1.0, which had real folders there, replaces them:
# they held only the files now under share/quillpost.
install(CODE "
  foreach(qp_item Sound 画像データ help)
    set(qp_link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${QP_INSTALL_PROGRAM_DIR}/\${qp_item}\")
    if(IS_DIRECTORY \"\${qp_link}\" AND NOT IS_SYMLINK \"\${qp_link}\")
      file(REMOVE_RECURSE \"\${qp_link}\")
    endif()
    file(CREATE_LINK \"${QP_DATA_FROM_PROGRAM}/\${qp_item}\"
         \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${QP_INSTALL_PROGRAM_DIR}/\${qp_item}\" SYMBOLIC)
  endforeach()
")

install(PROGRAMS "${CMAKE_SOURCE_DIR}/app/desktop/quillpost-launcher.sh" DESTINATION bin RENAME quillpost)

foreach(size 32 48 64 128 256)
  install(FILES "${CMAKE_SOURCE_DIR}/assets/icons/quillpost-${size}.png"
          DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME quillpost.png)
endforeach()

# The desktop entries name the launcher by its full path when it is not on
# the usual PATH (a prefix such as /opt/quillpost), so that a menu or a
# session started without that prefix on its PATH still finds it. The
# prefix is only known at install time (cmake --install --prefix, or the
# package's /usr), hence the rewrite then.
set(QP_DESKTOP_STAGE "${CMAKE_BINARY_DIR}/desktop-entries")
install(CODE "
  set(qp_prefix \"\${CMAKE_INSTALL_PREFIX}\")
  foreach(qp_entry quillpost.desktop quillpost-autostart.desktop)
    file(READ \"${CMAKE_SOURCE_DIR}/app/desktop/\${qp_entry}\" qp_text)
    if(NOT qp_prefix STREQUAL \"/usr\" AND NOT qp_prefix STREQUAL \"/usr/local\")
      string(REPLACE \"Exec=quillpost\" \"Exec=\${qp_prefix}/bin/quillpost\" qp_text \"\${qp_text}\")
      string(REPLACE \"Icon=quillpost\" \"Icon=\${qp_prefix}/share/icons/hicolor/256x256/apps/quillpost.png\" qp_text \"\${qp_text}\")
    endif()
    file(WRITE \"${QP_DESKTOP_STAGE}/\${qp_entry}\" \"\${qp_text}\")
  endforeach()
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/share/applications\" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES \"${QP_DESKTOP_STAGE}/quillpost.desktop\")
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/share/quillpost\" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES \"${QP_DESKTOP_STAGE}/quillpost-autostart.desktop\")
")

# AppStream: the component's id and the addresses it gives; the screenshot
# is docs/screenshot.png published under the project's address.
set(QP_APPSTREAM_ID org.example.quillpost CACHE STRING "AppStream component id (reverse DNS)")
set(QP_PROJECT_URL "https://quillpost.example.org" CACHE STRING
    "The project's web address; <address>/screenshot.png is the software centres' screenshot")
# The release's date is the changelog's: the top entry's trailer line. A
# build at another time, or of the same source elsewhere, gives the same
# metainfo and manual pages.
file(STRINGS "${CMAKE_SOURCE_DIR}/packaging/changelog.in" qp_changelog_head LIMIT_COUNT 1)
file(STRINGS "${CMAKE_SOURCE_DIR}/packaging/changelog.in" qp_changelog_trailers REGEX "^ -- ")
list(GET qp_changelog_trailers 0 qp_trailer)
if(NOT qp_changelog_head MATCHES "^quillpost \\(${PROJECT_VERSION}\\) "
   OR NOT qp_trailer MATCHES ", ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  message(FATAL_ERROR "packaging/changelog.in: the top entry must be version ${PROJECT_VERSION} "
                      "with a trailer dated \"Day, DD Mon YYYY hh:mm:ss +0000\"")
endif()
set(qp_day ${CMAKE_MATCH_1})
set(qp_year ${CMAKE_MATCH_3})
set(qp_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND qp_months "${CMAKE_MATCH_2}" qp_month)
if(qp_month LESS 0)
  message(FATAL_ERROR "packaging/changelog.in: unknown month in \"${qp_trailer}\"")
endif()
math(EXPR qp_month "${qp_month} + 1")
if(qp_month LESS 10)
  set(qp_month "0${qp_month}")
endif()
set(QP_RELEASE_DATE "${qp_year}-${qp_month}-${qp_day}")
configure_file("${CMAKE_SOURCE_DIR}/packaging/quillpost.metainfo.xml.in"
               "${CMAKE_BINARY_DIR}/${QP_APPSTREAM_ID}.metainfo.xml" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/${QP_APPSTREAM_ID}.metainfo.xml" DESTINATION share/metainfo)
# What lintian's information tags mistake: see the file's comments.
install(FILES "${CMAKE_SOURCE_DIR}/packaging/lintian-overrides" DESTINATION share/lintian/overrides
        RENAME quillpost)

include(cmake/Docs.cmake)

# --- The Debian package --------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillpost)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quillpost")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "new-mail notifier for one POP3 or IMAP mailbox, Japanese interface")
set(CPACK_PACKAGE_DESCRIPTION
    "Quillpost watches one POP3 mailbox (plain, APOP, STLS or POP3S) or IMAP\n\
mailbox (IMAPS or STARTTLS, read-only) at an interval or on demand and shows\n\
a compact always-on-top window. It reports waiting mail on a one-line notice\n\
board, or starts your mail program, and raises an alert\n\
(a looping MIDI tune, an animated picture and a small shaped window) when a\n\
message comes from an address on your watch list. It never deletes mail.\n\
Each user's settings live in ~/.local/share/quillpost.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QP_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the executable links (Qt 6 Core, Gui, Widgets, Network, DBus,
# FluidSynth, the C++ runtime) come from dpkg-shlibdeps. What it cannot see:
# the General MIDI SoundFont the tune is played with
# (/usr/share/sounds/sf2/default-GM.sf2), a Japanese font for the windows,
# the authorities' certificates that TLS verifies public servers with,
# libsecret, which QtKeychain loads at run time to reach the keyring, and
# Qt's translations (the file dialog's own texts in Japanese).
# Qt's X11 platform plugin and its OpenSSL backend ship with libqt6gui6 and
# libqt6network6, which the shlibdeps already pull in.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Without dpkg-shlibdeps (dpkg-dev) or file, CPack would still build a
# package, one that names none of its libraries and so installs a program
# that cannot start: the package step stops instead (cmake/PackageCheck.cmake).
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_SOURCE_DIR}/cmake/PackageCheck.cmake")

# The folders of 1.0 become links on upgrade (packaging/maintscript.in).
set(QP_PKG_PROGRAM_DIR "${CPACK_PACKAGING_INSTALL_PREFIX}/${QP_INSTALL_PROGRAM_DIR}")
set(QP_PKG_DATA_DIR "${CPACK_PACKAGING_INSTALL_PREFIX}/${QP_INSTALL_DATA_DIR}")
set(QP_LINKS_SINCE "1.1~")
set(qp_scripts)
foreach(QP_SCRIPT preinst postinst postrm)
  configure_file("${CMAKE_SOURCE_DIR}/packaging/maintscript.in" "${CMAKE_BINARY_DIR}/maintscripts/${QP_SCRIPT}"
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                        WORLD_READ WORLD_EXECUTE)
  list(APPEND qp_scripts "${CMAKE_BINARY_DIR}/maintscripts/${QP_SCRIPT}")
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${qp_scripts}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "timgm6mb-soundfont | sf2-soundfont-gm, fonts-ipafont-gothic | fonts-noto-cjk | fonts-vlgothic, ca-certificates, libsecret-1-0, qt6-translations-l10n")
include(CPack)
