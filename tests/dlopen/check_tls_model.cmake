# SPDX-License-Identifier: Apache-2.0
# cmake -DREADELF=<readelf> -DLIBRARY=<library> -DPROCESSOR=<processor> -DEMULATED=<bool>
#   -P check_tls_model.cmake
# Fails when the library asks for static TLS, or on aarch64 reaches its thread-local data
# through anything but TLS descriptors; with EMULATED, when it has any ELF TLS at all instead of
# the calls to __emutls_get_address that the compiler was found to emit.
execute_process(COMMAND ${READELF} --wide --dynamic --relocs --program-headers --syms ${LIBRARY}
  OUTPUT_VARIABLE elf RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${READELF} failed on ${LIBRARY}")
endif()
if(elf MATCHES "STATIC_TLS")
  message(FATAL_ERROR "${LIBRARY} asks for static TLS (DF_STATIC_TLS): it may not load with dlopen")
endif()
string(REGEX MATCHALL "R_[A-Z0-9_]*TLS[A-Z0-9_]*|R_[A-Z0-9_]*TPOFF[A-Z0-9_]*" tls_relocations "${elf}")
list(REMOVE_DUPLICATES tls_relocations)
if(EMULATED)
  # A loader without ELF TLS (Android before API 29) refuses a TLS segment.
  if(elf MATCHES "\n *TLS " OR tls_relocations)
    message(FATAL_ERROR "${LIBRARY} has ELF TLS although the compiler emulates it: "
      "a TLS segment or TLS relocations ${tls_relocations}")
  endif()
  if(NOT elf MATCHES "__emutls_get_address")
    message(FATAL_ERROR "${LIBRARY} never calls __emutls_get_address: no thread-local data?")
  endif()
  message(STATUS "${LIBRARY}: emulated TLS, no TLS segment or relocations")
  return()
endif()
# Initial-exec and local-exec accesses leave thread-pointer offsets for the loader to fill in.
if(tls_relocations MATCHES "_TPOFF|_TPREL")
  message(FATAL_ERROR "${LIBRARY} has initial-exec TLS relocations: ${tls_relocations}")
endif()
# On aarch64 the dynamic model always goes through TLS descriptors; anything else means the
# model the library is built with has changed.
if(PROCESSOR MATCHES "aarch64|arm64" AND NOT tls_relocations STREQUAL "R_AARCH64_TLSDESC")
  message(FATAL_ERROR "${LIBRARY}: expected R_AARCH64_TLSDESC only, found: ${tls_relocations}")
endif()
message(STATUS "${LIBRARY}: TLS relocations ${tls_relocations}, no static TLS")
