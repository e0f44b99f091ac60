#!/usr/bin/env bash
# The source fixes POCO 1.11 needs to build with MinGW-w64 on Linux, and
# as a unity build.
# Usage: poco-mingw-fixes.sh <poco source folder>
set -euo pipefail
src=$1
# Linux file systems are case-sensitive; MinGW ships these headers in lower case.
sed -i 's|#include <Winsock2.h>|#include <winsock2.h>|; s|#include <Iphlpapi.h>|#include <iphlpapi.h>|' \
  "$src/Foundation/include/Poco/UnWindows.h"
# wincrypt.h defines TIMESTAMP_REQUEST as a macro, which breaks the enum member of the same name.
grep -q 'undef TIMESTAMP_REQUEST' "$src/Net/include/Poco/Net/ICMPv4PacketImpl.h" || \
  sed -i '0,/\tenum MessageType/s//#ifdef TIMESTAMP_REQUEST\n#undef TIMESTAMP_REQUEST\n#endif\n\tenum MessageType/' \
  "$src/Net/include/Poco/Net/ICMPv4PacketImpl.h"
# With XML and JSON off, PocoUtilConfig must not ask for them.
sed -i '/find_dependency(PocoXML)/d; /find_dependency(PocoJSON)/d' "$src/Util/cmake/PocoUtilConfig.cmake"
grep -q '<winsock2.h>' "$src/Foundation/include/Poco/UnWindows.h"
grep -q 'undef TIMESTAMP_REQUEST' "$src/Net/include/Poco/Net/ICMPv4PacketImpl.h"

# Unity builds (deps.env): each library is compiled as a few large files that
# include many sources one after the other, so what one source declares for
# itself alone is seen by the next ones. Sources that would harm or break
# their neighbours are compiled on their own: the C sources (the bundled zlib
# and PCRE: headers without include guards, local names used again), every
# source that defines a macro (leaking it could change the code after it:
# PollSet.cpp's POCO_HAVE_FD_POLL turns Socket.cpp to poll.h), and the ones
# whose file-local singleton holder or mutex has a name another source uses
# too (sh, mutex).
for lib in Foundation Util Net; do
  grep -q 'telvara: unity build exclusions' "$src/$lib/CMakeLists.txt" && continue
  cat >> "$src/$lib/CMakeLists.txt" <<'CMAKE'

# telvara: unity build exclusions
file(GLOB _telvara_sources src/*.c src/*.cpp)
foreach(_file IN LISTS _telvara_sources)
  file(STRINGS ${_file} _defines REGEX "^[ \t]*#[ \t]*define[ \t]+[A-Za-z_]")
  list(FILTER _defines EXCLUDE REGEX "_INCLUDED")
  file(STRINGS ${_file} _shared_names REGEX "^[ \t]*static[ \t].*[ \t](sh|mutex);")
  if(_file MATCHES "\\.c$" OR _defines OR _shared_names)
    set_source_files_properties(${_file} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
  endif()
endforeach()
CMAKE
  grep -q 'telvara: unity build exclusions' "$src/$lib/CMakeLists.txt"
done
