# libsamplerate as tools/deps-libsamplerate.sh builds it for this target: the
# imported target SampleRate::samplerate. The folder is named as
# libsamplerate_prefix in that script names it: version, target and a hash of
# the script (which holds the pin and the build options) and of the
# toolchain file. A change to either points the build at the new folder at
# its next configure, which the change itself triggers.
set(_lsr_recipe ${CMAKE_SOURCE_DIR}/tools/deps-libsamplerate.sh ${CMAKE_SOURCE_DIR}/cmake/mingw-${TELVARA_TARGET}.cmake)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_lsr_recipe})
set(_lsr_text "")
foreach(_file IN LISTS _lsr_recipe)
  file(READ ${_file} _part)
  string(APPEND _lsr_text "${_part}")
endforeach()
string(SHA256 _lsr_hash "${_lsr_text}")
string(SUBSTRING "${_lsr_hash}" 0 12 _lsr_hash)
file(STRINGS ${CMAKE_SOURCE_DIR}/tools/deps-libsamplerate.sh _lsr_pin REGEX "^LIBSAMPLERATE_VERSION=")
string(REGEX REPLACE "^LIBSAMPLERATE_VERSION=" "" TELVARA_LIBSAMPLERATE_VERSION "${_lsr_pin}")
set(TELVARA_LIBSAMPLERATE_ROOT
    ${TELVARA_DEPS_CACHE}/libsamplerate-${TELVARA_LIBSAMPLERATE_VERSION}-${TELVARA_TARGET}-${_lsr_hash})
if(NOT EXISTS ${TELVARA_LIBSAMPLERATE_ROOT}/.complete)
  message(FATAL_ERROR "libsamplerate for ${TELVARA_TARGET} is missing at ${TELVARA_LIBSAMPLERATE_ROOT}: run tools/bootstrap.sh")
endif()
add_library(SampleRate::samplerate STATIC IMPORTED)
set_target_properties(SampleRate::samplerate PROPERTIES
  IMPORTED_LOCATION ${TELVARA_LIBSAMPLERATE_ROOT}/lib/libsamplerate.a
  INTERFACE_INCLUDE_DIRECTORIES ${TELVARA_LIBSAMPLERATE_ROOT}/include)
