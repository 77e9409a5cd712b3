# `cpack` in the build folder makes norva_<version>_<arch>.deb of what cmake/install.cmake
# installs, under /usr, with the shared libraries' packages as its dependencies.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norva)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Norva developers <norva@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "e-mail checker with spam filtering and a small mailer")
set(CPACK_PACKAGE_DESCRIPTION
    "Norva reads only the headers of the messages waiting on POP3 servers,
sorts them with the user's rules into safe, unknown and spam, and
deletes the spam on the server. It checks on a schedule from the
system tray, alarms on new and urgent mail, reads and answers
messages, sends mail over SMTP and keeps archives.

norva-cli does the same from the command line.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# libsecret comes in through the shared libraries; a Secret Service to keep the passwords in is
# optional (without one they stay in Config.QDB).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring | keepassxc | kwalletmanager")
set(CPACK_STRIP_FILES ON)
include(CPack)
