# The Debian package of tallyscope-server (CPack's DEB generator): the binary, its systemd unit, the
# config file as a conffile, maintainer scripts that create the system user and run the unit.
# Built by scripts/package from the `package` preset (optimised and hardened).
set(_deb "${CMAKE_SOURCE_DIR}/packaging/deb")
set(_doc "/usr/share/doc/tallyscope-server")

install(TARGETS tallyscope-server RUNTIME DESTINATION bin)
install(FILES "${_deb}/tallyscope-server.service" DESTINATION /lib/systemd/system)
install(FILES "${_deb}/server.conf" DESTINATION /etc/tallyscope)
install(FILES "${CMAKE_SOURCE_DIR}/README.md" "${_deb}/copyright" DESTINATION ${_doc})
install(FILES "${_deb}/low-port.conf" "${CMAKE_SOURCE_DIR}/packaging/prometheus.yml" DESTINATION ${_doc}/examples)

# Debian wants its changelog compressed without a time stamp in the gzip header.
string(TIMESTAMP _date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(READ "${_deb}/changelog.in" _changelog)
string(REPLACE "@VERSION@" "${PROJECT_VERSION}-1" _changelog "${_changelog}")
string(REPLACE "@DATE@" "${_date}" _changelog "${_changelog}")
file(WRITE "${CMAKE_BINARY_DIR}/deb/changelog.Debian" "${_changelog}")
execute_process(COMMAND gzip -9nf "${CMAKE_BINARY_DIR}/deb/changelog.Debian")
install(FILES "${CMAKE_BINARY_DIR}/deb/changelog.Debian.gz" DESTINATION ${_doc})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tallyscope-server)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "TallyScope developers <packages@tallyscope.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "usage statistics server for Windows desktop applications")
# CPack puts the summary on the first line; this is the extended description under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tallyscope-server receives the reports the TallyScope library posts from
Windows applications, stores them durably in SQLite or PostgreSQL, and serves
their figures on a dashboard and a JSON API, with Prometheus metrics and
online backups.")
# A package revision: the changelog is then Debian's own, changelog.Debian.gz.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${_deb}/conffiles;${_deb}/postinst;${_deb}/prerm;${_deb}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
include(CPack)
