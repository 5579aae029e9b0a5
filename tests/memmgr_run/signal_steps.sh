#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs a command in a session of its own and, once it is ready, signals it step by step:
#   signal_steps.sh READY STEPS tool|plain COMMAND...
# READY is the file the program creates once its handlers are in place (READY.N once N
# signals have reached them). STEPS, separated by commas:
#   ready        wait for READY
#   got N        wait for READY.N
#   stopped      wait until the command is stopped (state T in /proc)
#   send SIG     kill -SIG the command (memmgr-run, or the program run plainly)
#   group SIG    kill -SIG the command's whole process group
#   tool SIG     kill -SIG the command only when it is memmgr-run
# Each step waits for a state, never for a time; a wait gives up after a minute, which only
# a failure reaches. Exits with the command's status (128 + N for signal N).
ready=$1 steps=$2 under=$3
shift 3
rm -f "$ready" "$ready".*
# Not a group leader in a shell without job control, the child becomes a session leader
# without another fork: $! is the command, and its process group.
# The shell's own notice of a job a signal ended is not the command's output, and dash prints it
# or not depending on whether the job ended before the final wait: the shell's standard error
# goes nowhere, and only the command writes to the caller's.
exec 3>&2 2>/dev/null
setsid "$@" 2>&3 3>&- &
pid=$!

state() { sed 's/.*) \(.\).*/\1/' "/proc/$pid/stat" 2>/dev/null; }
await() {
  tries=0
  until eval "$1"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 6000 ]; then
      echo "signal_steps: gave up waiting for $1" >&3
      kill -s KILL -- "-$pid" 2>/dev/null
      exit 99
    fi
    sleep 0.01
  done
}

IFS=,
set -- $steps
unset IFS
for step in "$@"; do
  signal=${step#* }
  case $step in
    ready) await '[ -e "$ready" ]' ;;
    got\ *) await '[ -e "$ready.$signal" ]' ;;
    stopped) await '[ "$(state)" = T ]' ;;
    send\ *) kill -s "$signal" "$pid" ;;
    group\ *) kill -s "$signal" -- "-$pid" ;;
    tool\ *) if [ "$under" = tool ]; then kill -s "$signal" "$pid"; fi ;;
    *) echo "signal_steps: unknown step $step" >&3; exit 98 ;;
  esac
done
wait "$pid"
