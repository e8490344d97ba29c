# Install rules and packages: headers, libvorl.a with the exported target
# VORL::vorl, the CMake package files, vorl.pc, tarlok with its manual page,
# and the documents; CPack makes .tar.gz and .deb (Linux) or .zip (Windows).
include(CMakePackageConfigHelpers)

set(VORL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/VORL)
set(VORL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/vorl)

install(TARGETS vorl EXPORT VORLTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vorl DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT VORLTargets NAMESPACE VORL:: DESTINATION ${VORL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VORLConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VORLConfig.cmake INSTALL_DESTINATION ${VORL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VORLConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VORLConfig.cmake ${PROJECT_BINARY_DIR}/VORLConfigVersion.cmake
  DESTINATION ${VORL_CMAKEDIR})

# pkg-config: a C program also needs the C++ runtime when it links statically.
if(WIN32)
  set(VORL_PC_PRIVATE "-lstdc++ -lwinmm -lpthread")
else()
  set(VORL_PC_PRIVATE "-lstdc++ -lm -pthread")
endif()
# (relative to the file's own place, so the installed tree can move)
file(RELATIVE_PATH VORL_PC_TOPREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/vorl.pc.in ${PROJECT_BINARY_DIR}/vorl.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vorl.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS tarlok RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/tarlok.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
file(GLOB VORL_DOCS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${VORL_DOCDIR})
install(FILES ${VORL_DOCS} DESTINATION ${VORL_DOCDIR}/docs)

set(CPACK_PACKAGE_NAME vorl)
set(CPACK_PACKAGE_VENDOR "The VORL developers")
set(CPACK_PACKAGE_CONTACT "The VORL developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VORL runtime library (static, with headers) and the tarlok save repair tool")
set(CPACK_PACKAGE_DESCRIPTION "A memory manager with a debug heap, an asynchronous prioritised file system
with mountable archives, mutexes, queues, threads, timers, alerts and print channels, as a static library
with C headers, a CMake package and a pkg-config file; and tarlok, which repairs a save file in place.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_FILE_NAME vorl-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ DEB)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# tarlok is a static program; the library's users bring their own C++ runtime.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
include(CPack)
