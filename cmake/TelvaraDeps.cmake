# Finds the dependencies that tools/bootstrap.sh prepares: POCO built for this
# target (its cache folder is named after version, target and fix set, which
# are read from the same files the bootstrap uses) and GoogleTest's sources.
file(STRINGS ${CMAKE_SOURCE_DIR}/tools/deps.env _deps REGEX "^POCO_VERSION=")
string(REGEX REPLACE "^POCO_VERSION=" "" TELVARA_POCO_VERSION "${_deps}")
file(SHA256 ${CMAKE_SOURCE_DIR}/tools/poco-mingw-fixes.sh _fixes)
string(SUBSTRING "${_fixes}" 0 12 _fixes)
if(DEFINED ENV{TELVARA_DEPS_CACHE})
  set(_cache $ENV{TELVARA_DEPS_CACHE})
else()
  set(_cache /var/cache/telvara-deps)
endif()
set(TELVARA_POCO_ROOT ${_cache}/poco-${TELVARA_POCO_VERSION}-${TELVARA_TARGET}-fixes-${_fixes}
    CACHE PATH "POCO built for this target by tools/bootstrap.sh")
if(NOT EXISTS ${TELVARA_POCO_ROOT}/.complete)
  message(FATAL_ERROR "POCO for ${TELVARA_TARGET} is missing at ${TELVARA_POCO_ROOT}: run tools/bootstrap.sh")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH ${TELVARA_POCO_ROOT})
find_package(Poco ${TELVARA_POCO_VERSION} EXACT REQUIRED COMPONENTS Foundation Util Net)

set(TELVARA_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
