# What an installation holds: the library, the tools, their man pages and completion scripts
# (tools/CMakeLists.txt), the public headers, the CMake package, a pkg-config file, and a
# systemd unit, a sysusers.d and a logrotate file for kxmp-host.

install(TARGETS KXMAMountingPointSvc EXPORT kxmpTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The private library (in the package's export set only as what the library needs at run
# time, never linked by consumers) and the modules it loads, in the folder kxmp/ beside the
# library.
install(TARGETS kxmp-internal EXPORT kxmpTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/kxmp)
install(TARGETS ${KXMP_MODULES} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/kxmp)

# Public headers: include/kxmp and the platform headers they reach, plus the interfaces
# other programs of the suite implement. Headers of hidden classes and of SQLite or pugixml
# stay out.
set(KXMP_PUBLIC_OUTSIDE_HEADERS
  catalog/ApplicationId.h catalog/ArMgrClientAPI.h catalog/ArMgrTypes.h catalog/CatalogRecords.h
  dataserver/Backend.h dataserver/CFSInitParams.h dataserver/CFSInterface.h dataserver/CFileInterface.h
  error/CZoError.h error/FXCodeLocation.h error/FXErrorUtil.h
  event/EvDebug.h event/EvEvent.h
  lock/KxNamedMutex.h
  log/CLogWriterInterface.h log/Log.h
  registry/KXPI.h registry/KXPlatformInfo.h
  session/CKxNetworkServer.h
  util/CZoFile.h util/FXPath.h util/FXString.h util/UniqueFd.h
  xml/CNMessageBase.h xml/CNMessageFactory.h xml/CNMessageSchema.h xml/TesselMessages.h)
install(DIRECTORY include/kxmp/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kxmp FILES_MATCHING PATTERN "*.h")
foreach(header IN LISTS KXMP_PUBLIC_OUTSIDE_HEADERS)
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES src/outside/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kxmp/outside/${dir})
endforeach()
install(FILES ${KXMP_GENERATED_INCLUDE}/kxmp/kxmp_export.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kxmp)
# Inside the tree headers name each other "outside/..."; installed, they live below kxmp/,
# so consumers need only <prefix>/include on their path.
install(CODE "
  file(GLOB_RECURSE kxmp_headers \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_INCLUDEDIR}/kxmp/*.h\")
  foreach(h IN LISTS kxmp_headers)
    file(READ \${h} text)
    string(REPLACE \"#include \\\"outside/\" \"#include \\\"kxmp/outside/\" text \"\${text}\")
    string(REPLACE \"#include \\\"Version.h\\\"\" \"#include \\\"kxmp/Version.h\\\"\" text \"\${text}\")
    file(WRITE \${h} \"\${text}\")
  endforeach()")

# CMake package: find_package(kxmp CONFIG)
install(EXPORT kxmpTargets NAMESPACE kxmp:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kxmp)
configure_package_config_file(cmake/kxmpConfig.cmake.in ${CMAKE_BINARY_DIR}/kxmpConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kxmp)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kxmpConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kxmpConfig.cmake ${CMAKE_BINARY_DIR}/kxmpConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kxmp)

# Files that name installed paths (cmake/InstallConfigured.cmake): the pkg-config file
# (pkg-config --cflags --libs kxmp), the systemd unit of the host, the sysusers.d file of its
# user and the logrotate file of the logs, written when installing from the prefix installed to.
set(KXMP_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING "Where the systemd unit goes (relative: below the prefix)")
set(KXMP_SYSUSERS_DIR "lib/sysusers.d" CACHE STRING "Where the sysusers.d file goes (relative: below the prefix)")
set(KXMP_SERVICE_USER "kxmp" CACHE STRING "The user kxmp-host runs as under systemd (empty: root)")
install(CODE "
  set(KXMP_CONFIGURED_PREFIX \"${CMAKE_INSTALL_PREFIX}\")
  set(KXMP_DEFAULT_HOME \"${KXMP_DEFAULT_HOME}\")
  set(KXMP_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(KXMP_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(KXMP_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(KXMP_SYSTEMD_UNIT_DIR \"${KXMP_SYSTEMD_UNIT_DIR}\")
  set(KXMP_SYSUSERS_DIR \"${KXMP_SYSUSERS_DIR}\")
  set(KXMP_SERVICE_USER \"${KXMP_SERVICE_USER}\")
  set(KXMP_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")
  set(KXMP_BINARY_DIR \"${CMAKE_BINARY_DIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")")
install(SCRIPT cmake/InstallConfigured.cmake)
