# PortAudio's WDM-KS host API, built by tools/deps-portaudio.sh (test-only).
# Its folder is named as portaudio_prefix there names it: version, target and
# a hash of deps.env, of the recipe, of the adapter header compiled into it
# and of the toolchain file. A change to any of them points the build at the
# new folder at its next configure.
set(_pa_recipe ${CMAKE_SOURCE_DIR}/tools/deps.env ${CMAKE_SOURCE_DIR}/tools/deps-portaudio.sh
    ${CMAKE_SOURCE_DIR}/tests/portaudio/ks_adapter.h ${CMAKE_SOURCE_DIR}/cmake/mingw-${TELVARA_TARGET}.cmake)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_pa_recipe})
set(_pa_text "")
foreach(_file IN LISTS _pa_recipe)
  file(READ ${_file} _part)
  string(APPEND _pa_text "${_part}")
endforeach()
string(SHA256 _pa_hash "${_pa_text}")
string(SUBSTRING "${_pa_hash}" 0 12 _pa_hash)
file(STRINGS ${CMAKE_SOURCE_DIR}/tools/deps-portaudio.sh _pa_deps REGEX "^PORTAUDIO_VERSION=")
string(REGEX REPLACE "^PORTAUDIO_VERSION=" "" TELVARA_PORTAUDIO_VERSION "${_pa_deps}")
set(TELVARA_PORTAUDIO_ROOT ${TELVARA_DEPS_CACHE}/portaudio-${TELVARA_PORTAUDIO_VERSION}-${TELVARA_TARGET}-${_pa_hash})
if(NOT EXISTS ${TELVARA_PORTAUDIO_ROOT}/.complete)
  message(FATAL_ERROR "PortAudio for ${TELVARA_TARGET} is missing at ${TELVARA_PORTAUDIO_ROOT}: run tools/bootstrap.sh")
endif()
add_library(telvara_portaudio_wdmks STATIC IMPORTED)
set_target_properties(telvara_portaudio_wdmks PROPERTIES
  IMPORTED_LOCATION ${TELVARA_PORTAUDIO_ROOT}/lib/libportaudio_wdmks.a
  INTERFACE_INCLUDE_DIRECTORIES ${TELVARA_PORTAUDIO_ROOT}/include
  INTERFACE_LINK_LIBRARIES "setupapi;winmm;ole32;uuid;ksguid")
