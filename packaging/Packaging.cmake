# Installation and the Debian package (scripts/package.sh: cpack -G DEB). The package holds
# the server, voxmit-client, the systemd unit, the README and docs/; its dependencies come
# from the shared libraries the programs link (dpkg-shlibdeps).
include(GNUInstallDirs)

install(TARGETS VoxmitServer2 voxmit-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The terminal API library is the server's own: it goes into a private folder that the
# installed server finds through its run path, not onto the system's library path.
set(VOXMIT_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/voxmitserver2)
install(TARGETS orvexapi LIBRARY DESTINATION ${VOXMIT_PRIVATE_LIBDIR})
set_target_properties(VoxmitServer2 PROPERTIES INSTALL_RPATH "$ORIGIN/../${VOXMIT_PRIVATE_LIBDIR}")
install(FILES ${PROJECT_SOURCE_DIR}/packaging/voxmit.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/voxmitserver2)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION share/doc/voxmitserver2/docs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME voxmitserver2)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Paging and messaging gateway server")
set(CPACK_PACKAGE_CONTACT "VoxmitServer2 maintainers <root@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/termapi)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
