# Debian packages, made by CPack from the install rules (cpack in a build
# directory, native or cross):
#
#   thermometry             (component program) the program in
#                           THERMOMETRY_INSTALL_DIR, the systemd units, the
#                           example environment file and the docs
#   thermometry-camera-sim  (component standin) the stand-in libhcnetsdk.so,
#                           camera-sim and its systemd unit, for trials
#                           without a camera
#
# The camera vendor's libhcnetsdk.so belongs in THERMOMETRY_INSTALL_DIR too,
# where the stand-in package puts its own: the two cannot be installed
# together, so the vendor's library goes in after the stand-in package is
# removed (packaging/README.md).
#
# Included from the top CMakeLists.txt after every other install rule.

set(THERMOMETRY_PACKAGING_DIR "${CMAKE_CURRENT_LIST_DIR}")
set(THERMOMETRY_PACKAGE_DOC_DIR "/usr/share/doc/thermometry")
set(THERMOMETRY_UNIT_DIR "/lib/systemd/system" CACHE PATH "Where the systemd units are installed")

# ---- install rules of the program package ------------------------------------

# The units name the program by its installed path, so they are made from
# templates that follow THERMOMETRY_INSTALL_DIR.
foreach(unit thermometry.service thermometry@.service)
  configure_file("${THERMOMETRY_PACKAGING_DIR}/${unit}.in" "${CMAKE_BINARY_DIR}/packaging/${unit}" @ONLY)
  install(FILES "${CMAKE_BINARY_DIR}/packaging/${unit}" DESTINATION "${THERMOMETRY_UNIT_DIR}" COMPONENT program)
endforeach()
# The generator that makes a socket unit for each service with a port.
set(THERMOMETRY_GENERATOR_DIR "/lib/systemd/system-generators" CACHE PATH "Where systemd generators are installed")
install(PROGRAMS "${THERMOMETRY_PACKAGING_DIR}/thermometry-generator"
        DESTINATION "${THERMOMETRY_GENERATOR_DIR}" COMPONENT program)
# The service's own system user (see the units and the maintainer scripts).
install(FILES "${THERMOMETRY_PACKAGING_DIR}/thermometry.sysusers"
        DESTINATION /usr/lib/sysusers.d RENAME thermometry.conf COMPONENT program)
install(FILES "${THERMOMETRY_PACKAGING_DIR}/thermometry.env.example"
              "${THERMOMETRY_PACKAGING_DIR}/thermometry.url.example"
              "${THERMOMETRY_PACKAGING_DIR}/thermometry.mqtt.example"
        DESTINATION "${THERMOMETRY_PACKAGE_DOC_DIR}" COMPONENT program)
# The program's own README (command line, output, exit statuses) and the
# service's (installation, configuration, the vendor's SDK).
install(FILES "${PROJECT_SOURCE_DIR}/README.md"
        DESTINATION "${THERMOMETRY_PACKAGE_DOC_DIR}" COMPONENT program)
install(FILES "${THERMOMETRY_PACKAGING_DIR}/README.md"
        DESTINATION "${THERMOMETRY_PACKAGE_DOC_DIR}" RENAME README.service.md COMPONENT program)

# ---- Debian's files of both packages ---------------------------------------------

# Each package carries its own copyright file and changelog (neither depends
# on the other, so the doc folders cannot be shared), and the lintian
# overrides that say why its files are in /opt. The changelog is compressed
# as Debian's tools do it: gzip -9n, no name or time stamp inside.
set(THERMOMETRY_CHANGELOG_GZ "${CMAKE_BINARY_DIR}/packaging/changelog.gz")
execute_process(COMMAND gzip -9n -c "${THERMOMETRY_PACKAGING_DIR}/debian/changelog"
                OUTPUT_FILE "${THERMOMETRY_CHANGELOG_GZ}" COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${THERMOMETRY_PACKAGING_DIR}/debian/changelog")
set(THERMOMETRY_DEB_PACKAGES program:thermometry)
if(TARGET camera-sim)
  list(APPEND THERMOMETRY_DEB_PACKAGES standin:thermometry-camera-sim)
endif()
foreach(entry IN LISTS THERMOMETRY_DEB_PACKAGES)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 component)
  list(GET entry 1 package)
  install(FILES "${THERMOMETRY_PACKAGING_DIR}/debian/copyright" "${THERMOMETRY_CHANGELOG_GZ}"
          DESTINATION "/usr/share/doc/${package}" COMPONENT ${component})
  install(FILES "${THERMOMETRY_PACKAGING_DIR}/debian/${package}.lintian-overrides"
          DESTINATION /usr/share/lintian/overrides RENAME ${package} COMPONENT ${component})
endforeach()

# The simulator's unit: a trial without a camera is systemctl start.
if(TARGET camera-sim)
  configure_file("${THERMOMETRY_PACKAGING_DIR}/thermometry-camera-sim.service.in"
                 "${CMAKE_BINARY_DIR}/packaging/thermometry-camera-sim.service" @ONLY)
  install(FILES "${CMAKE_BINARY_DIR}/packaging/thermometry-camera-sim.service"
          DESTINATION "${THERMOMETRY_UNIT_DIR}" COMPONENT standin)
endif()

# ---- package metadata ----------------------------------------------------------

# Debian's names for the CPU the build is for (the cross build's target, not
# the machine that builds it).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  set(THERMOMETRY_DEB_ARCH arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64|AMD64)$")
  set(THERMOMETRY_DEB_ARCH amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(armv7.*|armhf)$")
  set(THERMOMETRY_DEB_ARCH armhf)
else()
  set(THERMOMETRY_DEB_ARCH "${CMAKE_SYSTEM_PROCESSOR}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME thermometry)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "thermometry developers")
# The same address is the Upstream-Contact of packaging/debian/copyright and
# signs packaging/debian/changelog.
set(CPACK_PACKAGE_CONTACT "thermometry developers <thermometry@example.org>")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
# Every install rule has an absolute destination; the DEB generator stages
# them below its own root.
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
# Debug information stays in the build tree; the packaged files are stripped
# (with the cross build's strip for the ARM packages).
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
if(TARGET camera-sim)
  set(CPACK_COMPONENTS_ALL program standin)
else()
  # Built against the vendor's library: there is no stand-in to package.
  set(CPACK_COMPONENTS_ALL program)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${THERMOMETRY_DEB_ARCH}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Both packages are built from one source tree, whose changelog names it.
set(CPACK_DEBIAN_PACKAGE_SOURCE thermometry)
# dpkg-shlibdeps cannot read a cross build's binaries here, so the run-time
# needs are stated: what the native build's binaries need by dpkg-shlibdeps
# (glibc 2.34 symbols, libstdc++ of GCC 12). .ci/package-checks.sh compares
# this with the symbol versions the binaries of both architectures ask for.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(THERMOMETRY_DEB_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
# The program's MQTT output; the simulator and the stand-in need it not.
set(THERMOMETRY_DEB_PROGRAM_DEPENDS "${THERMOMETRY_DEB_DEPENDS}, libmosquitto1 (>= 2.0)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME thermometry)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS "${THERMOMETRY_DEB_PROGRAM_DEPENDS}")
# Suggested rather than recommended: on a machine with a camera the vendor's
# library takes the stand-in's place, and apt should not bring it in.
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SUGGESTS "thermometry-camera-sim")
set(CPACK_DEBIAN_PROGRAM_PACKAGE_CONTROL_EXTRA
    "${THERMOMETRY_PACKAGING_DIR}/debian/postinst"
    "${THERMOMETRY_PACKAGING_DIR}/debian/prerm"
    "${THERMOMETRY_PACKAGING_DIR}/debian/postrm")
set(CPACK_COMPONENT_PROGRAM_DISPLAY_NAME "thermometry")
set(CPACK_COMPONENT_PROGRAM_DESCRIPTION
    "Thermal camera temperature reader and TCP publisher
thermometry logs in to a network thermal camera through the camera's network
SDK (libhcnetsdk.so, not included), reads its live temperature and prints it
once a second or sends it once a second as a JSON line to every TCP client.
The program lives in ${THERMOMETRY_INSTALL_DIR}; the camera vendor's
libhcnetsdk.so and its HCNetSDKCom/ folder go into the same directory.
Includes systemd units for one camera (thermometry.service) and for several
(thermometry@NAME.service).")

set(CPACK_DEBIAN_STANDIN_PACKAGE_NAME thermometry-camera-sim)
set(CPACK_DEBIAN_STANDIN_PACKAGE_DEPENDS "${THERMOMETRY_DEB_DEPENDS}")
set(CPACK_DEBIAN_STANDIN_PACKAGE_ENHANCES "thermometry")
set(CPACK_DEBIAN_STANDIN_PACKAGE_CONTROL_EXTRA
    "${THERMOMETRY_PACKAGING_DIR}/debian/camera-sim/postinst"
    "${THERMOMETRY_PACKAGING_DIR}/debian/camera-sim/prerm"
    "${THERMOMETRY_PACKAGING_DIR}/debian/camera-sim/postrm")
set(CPACK_COMPONENT_STANDIN_DISPLAY_NAME "thermometry camera simulator")
set(CPACK_COMPONENT_STANDIN_DESCRIPTION
    "Camera simulator and stand-in SDK library for thermometry
For trying thermometry without a camera: camera-sim plays a thermal camera
on 127.0.0.2 (systemctl start thermometry-camera-sim.service), and the
stand-in libhcnetsdk.so in ${THERMOMETRY_INSTALL_DIR} talks to it.
The camera vendor's libhcnetsdk.so replaces this package's library at the
same path: remove this package before putting the vendor's library in
place.")

include(CPack)
