#!/usr/bin/env bash
# The three source fixes POCO 1.11 needs to build with MinGW-w64 on Linux.
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
