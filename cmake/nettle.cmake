# AES-128 and its CTR and CBC modes, built from nettle's own sources (the
# Windows build, where no MinGW build of it is packaged): the C files those
# need, and their public headers under nettle/ as an installed nettle has
# them, version.h made from its template.
set(NETTLE_DIR "${GALLIVOX_NETTLE_SOURCE}")
set(NETTLE_HEADERS "${PROJECT_BINARY_DIR}/nettle-include/nettle")
file(MAKE_DIRECTORY "${NETTLE_HEADERS}")
foreach(header aes.h cbc.h ctr.h nettle-types.h)
  configure_file("${NETTLE_DIR}/${header}" "${NETTLE_HEADERS}/${header}" COPYONLY)
endforeach()
file(READ "${NETTLE_DIR}/version.h.in" NETTLE_VERSION_H)
string(REPLACE "@MAJOR_VERSION@" "3" NETTLE_VERSION_H "${NETTLE_VERSION_H}")
string(REPLACE "@MINOR_VERSION@" "8" NETTLE_VERSION_H "${NETTLE_VERSION_H}")
string(REPLACE "@NETTLE_USE_MINI_GMP@" "0" NETTLE_VERSION_H "${NETTLE_VERSION_H}")
string(REPLACE "@GMP_NUMB_BITS@" "64" NETTLE_VERSION_H "${NETTLE_VERSION_H}")
file(WRITE "${NETTLE_HEADERS}/version.h" "${NETTLE_VERSION_H}")
enable_language(C)
set(NETTLE_SOURCES)
foreach(source aes128-set-encrypt-key aes128-set-decrypt-key aes128-encrypt aes128-decrypt aes-set-key-internal
               aes-invert-internal aes-encrypt-internal aes-decrypt-internal aes-encrypt-table aes-decrypt-table
               ctr ctr16 cbc memxor memxor3)
  list(APPEND NETTLE_SOURCES "${NETTLE_DIR}/${source}.c")
endforeach()
add_library(nettle STATIC ${NETTLE_SOURCES})
target_include_directories(nettle PRIVATE "${NETTLE_DIR}")
target_include_directories(nettle SYSTEM PUBLIC "${PROJECT_BINARY_DIR}/nettle-include")
