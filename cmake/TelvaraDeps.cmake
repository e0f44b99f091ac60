# Finds the dependencies that tools/bootstrap.sh prepares: POCO built for this
# target and GoogleTest's sources. POCO's folder is named as poco_prefix in
# tools/deps.env names it: version, target and a hash of deps.env (which
# holds POCO's build options), of the source fixes and of the toolchain file.
# A change to any of them points the build at the new folder at its next
# configure, which the change itself triggers.
set(_recipe ${CMAKE_SOURCE_DIR}/tools/deps.env ${CMAKE_SOURCE_DIR}/tools/poco-mingw-fixes.sh
    ${CMAKE_SOURCE_DIR}/cmake/mingw-${TELVARA_TARGET}.cmake)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_recipe})
set(_text "")
foreach(_file IN LISTS _recipe)
  file(READ ${_file} _part)
  string(APPEND _text "${_part}")
endforeach()
string(SHA256 _hash "${_text}")
string(SUBSTRING "${_hash}" 0 12 _hash)
file(STRINGS ${CMAKE_SOURCE_DIR}/tools/deps.env _deps REGEX "^POCO_VERSION=")
string(REGEX REPLACE "^POCO_VERSION=" "" TELVARA_POCO_VERSION "${_deps}")
# The dependency cache: the environment's TELVARA_DEPS_CACHE when set, else the
# one this build folder was configured with, else the bootstrap's default.
if(DEFINED ENV{TELVARA_DEPS_CACHE})
  set(TELVARA_DEPS_CACHE $ENV{TELVARA_DEPS_CACHE} CACHE PATH "Dependency cache of tools/bootstrap.sh" FORCE)
else()
  set(TELVARA_DEPS_CACHE /var/cache/telvara-deps CACHE PATH "Dependency cache of tools/bootstrap.sh")
endif()
set(TELVARA_POCO_ROOT ${TELVARA_DEPS_CACHE}/poco-${TELVARA_POCO_VERSION}-${TELVARA_TARGET}-${_hash})
if(NOT EXISTS ${TELVARA_POCO_ROOT}/.complete)
  message(FATAL_ERROR "POCO for ${TELVARA_TARGET} is missing at ${TELVARA_POCO_ROOT}: run tools/bootstrap.sh")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH ${TELVARA_POCO_ROOT})
find_package(Poco ${TELVARA_POCO_VERSION} EXACT REQUIRED COMPONENTS Foundation Util Net)

set(TELVARA_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
include(${CMAKE_CURRENT_LIST_DIR}/TelvaraLibsamplerate.cmake)
include(${CMAKE_SOURCE_DIR}/cmake/TelvaraPortAudio.cmake)
