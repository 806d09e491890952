# What `cmake --install` puts under the prefix, and the Debian package that CPack builds from it:
#   lib/libVantrelSDKShared.so.<version> (SONAME .so.<major>), lib/libVantrelTestEngine.so.<version>
#   include/VantrelSDK/         public headers, generated message headers, TestEngine.h
#   share/VantrelSDK/proto/     the eight schema files
#   lib/cmake/VantrelSDK/       the CMake package (targets VantrelSDK::VantrelSDKShared and
#                               VantrelSDK::VantrelTestEngine)
#   lib/pkgconfig/              vantrel-sdk.pc and vantrel-test-engine.pc
#   bin/vantrel-sandbox-engine  where the sandbox is built (its rule is in the root CMakeLists.txt)
include(CMakePackageConfigHelpers)

set(VANTREL_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/VantrelSDK)
set(VANTREL_INSTALL_PROTODIR ${CMAKE_INSTALL_DATADIR}/VantrelSDK/proto)
set(VANTREL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/VantrelSDK)
set(VANTREL_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# The generated headers only build against the protobuf release that generated them.
string(REGEX MATCH "^[0-9]+\\.[0-9]+" VANTREL_PROTOBUF_RELEASE "${Protobuf_VERSION}")
if(NOT VANTREL_PROTOBUF_RELEASE)
  message(FATAL_ERROR "cannot tell the release of protobuf ${Protobuf_VERSION}")
endif()

# The test engine is a library for users' own tests: versioned like the SDK, and it finds the SDK
# next to itself once installed.
set_target_properties(VantrelTestEngine PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  INSTALL_RPATH "$ORIGIN")

install(TARGETS VantrelSDKShared VantrelTestEngine
  EXPORT VantrelSDKTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
file(GLOB VANTREL_PUBLIC_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/*.h)
install(FILES ${VANTREL_PUBLIC_HEADERS} ${VANTREL_GENERATED_HEADERS}
              ${PROJECT_SOURCE_DIR}/testing/TestEngine.h
        DESTINATION ${VANTREL_INSTALL_INCLUDEDIR})
install(FILES ${VANTREL_PROTO_FILES} DESTINATION ${VANTREL_INSTALL_PROTODIR})

# The CMake package. The SONAME carries the major version only, so any 1.x library serves a client
# built against 1.y with y <= x; the package version file makes the same promise (SameMajorVersion).
install(EXPORT VantrelSDKTargets
  NAMESPACE VantrelSDK::
  DESTINATION ${VANTREL_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VantrelSDKConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VantrelSDKConfig.cmake
  INSTALL_DESTINATION ${VANTREL_INSTALL_CMAKEDIR}
  PATH_VARS VANTREL_INSTALL_PROTODIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VantrelSDKConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VantrelSDKConfig.cmake
              ${PROJECT_BINARY_DIR}/VantrelSDKConfigVersion.cmake
        DESTINATION ${VANTREL_INSTALL_CMAKEDIR})

# The pkg-config files are written at install time, so that their prefix is the one installed into
# (cmake --install --prefix, or /usr inside the Debian package) and not the configured one.
set(VANTREL_PC_PREFIX "@prefix@")  # filled in by the install step
foreach(module vantrel-sdk vantrel-test-engine)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${module}.pc.in
                 ${PROJECT_BINARY_DIR}/pkgconfig/${module}.pc.in @ONLY)
  install(CODE "
    set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${PROJECT_BINARY_DIR}/pkgconfig/${module}.pc.in\"
                   \"${PROJECT_BINARY_DIR}/pkgconfig/installed/${module}.pc\" @ONLY)
    file(INSTALL \"${PROJECT_BINARY_DIR}/pkgconfig/installed/${module}.pc\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${VANTREL_INSTALL_PKGCONFIGDIR}\")")
endforeach()

# The Debian package of the SDK: cpack -G DEB in the build directory.
set(VANTREL_PACKAGE_MAINTAINER "Vantrel SDK maintainers <sdk@vantrel.invalid>"
    CACHE STRING "Maintainer named in the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantrel-sdk)
set(CPACK_PACKAGE_VENDOR Vantrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "C++ client library for driving a remote driving-simulation engine")
set(CPACK_PACKAGE_DESCRIPTION
    "libVantrelSDKShared drives a remote driving-simulation engine over one TCP connection: \
versions, scene loading, queries, time stepping, sensor registration and delivery of sensor output \
to callbacks, and car commands. The package holds the shared library, its headers and generated \
message headers, the schema files, a scriptable test engine library for clients' own tests, and \
the CMake and pkg-config files to build against them.")
set(CPACK_PACKAGE_CONTACT ${VANTREL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VANTREL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libprotobuf32")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libprotobuf-dev, protobuf-compiler")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)  # the debug information stays in the build tree
include(CPack)
