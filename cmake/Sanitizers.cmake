# SPDX-License-Identifier: Apache-2.0
# Sanitizer builds: MEMMGR_SANITIZE names one runtime (address, thread or undefined) and every
# target of the tree (lib_base, the library, tests, examples, benchmarks) is compiled and
# linked with it, so that the runtime sees every access and every allocation.
#
# ASan and TSan bring their own global operator new/delete in the executable, which take
# precedence over the library's: the cases labelled `operators` cannot hold there (see
# docs/reliability.md). UBSan leaves allocation alone, so the whole suite runs under it.
set(MEMMGR_SANITIZE "" CACHE STRING "Sanitizer for every target: empty, address, thread or undefined")
set_property(CACHE MEMMGR_SANITIZE PROPERTY STRINGS "" address thread undefined)

if(MEMMGR_SANITIZE)
  if(NOT MEMMGR_SANITIZE MATCHES "^(address|thread|undefined)$")
    message(FATAL_ERROR "MEMMGR_SANITIZE must be empty, address, thread or undefined, not '${MEMMGR_SANITIZE}'")
  endif()
  set(memmgr_sanitize_flags -fsanitize=${MEMMGR_SANITIZE} -fno-omit-frame-pointer)
  if(MEMMGR_SANITIZE STREQUAL "undefined")
    # A finding ends the test with a failure instead of scrolling past in its output.
    list(APPEND memmgr_sanitize_flags -fno-sanitize-recover=all)
  endif()
  add_compile_options(${memmgr_sanitize_flags})
  add_link_options(${memmgr_sanitize_flags})
  unset(memmgr_sanitize_flags)
endif()
