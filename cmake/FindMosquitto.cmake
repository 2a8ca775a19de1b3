# Finds libmosquitto, the Eclipse Mosquitto MQTT client library, and gives the
# imported target Mosquitto::mosquitto. Debian ships it (libmosquitto-dev)
# with a pkg-config file but no CMake package, so it is looked up by hand:
#
#   find_package(Mosquitto REQUIRED)
#   target_link_libraries(app PRIVATE Mosquitto::mosquitto)
#
# Sets Mosquitto_FOUND, Mosquitto_VERSION, and the cache entries
# Mosquitto_INCLUDE_DIR and Mosquitto_LIBRARY (set them to use another copy).
#
# Cross builds: the toolchain file confines find_*() to the target's tree
# (CMAKE_FIND_ROOT_PATH, mode ONLY). Debian's multiarch packages of the target
# (libmosquitto-dev:arm64) are not in that tree: the library is in
# /usr/lib/<target triple>, the header in /usr/include, where every
# architecture's copy is the same file. When the target's tree lacks them,
# the library is taken from the target's multiarch directory alone (never
# /usr/lib or the build machine's own triple), and the header from the
# target's /usr/include/<triple> or the shared /usr/include, which the cross
# compiler searches anyway (the build machine's /usr/include/<its triple> is
# never searched).

find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND AND NOT CMAKE_CROSSCOMPILING)
  # Only as hints: a pkg-config run in a cross build would describe the
  # build machine's library.
  pkg_check_modules(PC_Mosquitto QUIET libmosquitto)
endif()

find_path(Mosquitto_INCLUDE_DIR mosquitto.h HINTS ${PC_Mosquitto_INCLUDE_DIRS})
find_library(Mosquitto_LIBRARY NAMES mosquitto HINTS ${PC_Mosquitto_LIBRARY_DIRS})

if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
  # Each runs only when the target's tree had nothing (the result is cached).
  find_library(Mosquitto_LIBRARY NAMES mosquitto
    PATHS "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}" "/lib/${CMAKE_LIBRARY_ARCHITECTURE}"
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_path(Mosquitto_INCLUDE_DIR mosquitto.h
    PATHS "/usr/include/${CMAKE_LIBRARY_ARCHITECTURE}" /usr/include
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
endif()

if(Mosquitto_INCLUDE_DIR AND EXISTS "${Mosquitto_INCLUDE_DIR}/mosquitto.h")
  file(STRINGS "${Mosquitto_INCLUDE_DIR}/mosquitto.h" _mosquitto_version_lines
       REGEX "^#define LIBMOSQUITTO_(MAJOR|MINOR|REVISION) +[0-9]+")
  foreach(_part MAJOR MINOR REVISION)
    string(REGEX REPLACE ".*#define LIBMOSQUITTO_${_part} +([0-9]+).*" "\\1" _mosquitto_${_part}
           "${_mosquitto_version_lines}")
  endforeach()
  set(Mosquitto_VERSION "${_mosquitto_MAJOR}.${_mosquitto_MINOR}.${_mosquitto_REVISION}")
  unset(_mosquitto_version_lines)
  unset(_mosquitto_MAJOR)
  unset(_mosquitto_MINOR)
  unset(_mosquitto_REVISION)
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Mosquitto
  REQUIRED_VARS Mosquitto_LIBRARY Mosquitto_INCLUDE_DIR
  VERSION_VAR Mosquitto_VERSION)
mark_as_advanced(Mosquitto_INCLUDE_DIR Mosquitto_LIBRARY)

if(Mosquitto_FOUND AND NOT TARGET Mosquitto::mosquitto)
  add_library(Mosquitto::mosquitto UNKNOWN IMPORTED)
  set_target_properties(Mosquitto::mosquitto PROPERTIES
    IMPORTED_LOCATION "${Mosquitto_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Mosquitto_INCLUDE_DIR}")
endif()
