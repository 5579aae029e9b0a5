#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs a command in a user and mount namespace of its own in which the kernel hands aarch64
# programs to INTERPRETER: a binfmt_misc of the namespace's own (Linux 6.7 and later), so that
# a target program the command execs runs, and nothing is registered for the machine.
#   private_binfmt.sh INTERPRETER COMMAND...   (exits 77 when no such namespace can be made)
interpreter=$1
shift
unshare --user --map-root-user --mount true 2>/dev/null || exit 77
exec unshare --user --map-root-user --mount sh -c '
  magic="\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00"
  mask="\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null &&
    printf ":qemu-aarch64:M::$magic:$mask:$0:" >/proc/sys/fs/binfmt_misc/register 2>/dev/null ||
    exit 77
  exec "$@"' "$interpreter" "$@"
