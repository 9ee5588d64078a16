#!/usr/bin/env bash
# The benchmark's soak phase: 200 unplug/replug cycles each with auto-connect, the Start button
# and Stop/Start (--quick: 3, 20, 20). See bench/run.
exec "$(dirname "${BASH_SOURCE[0]}")/../bench/run" --only soak "$@"
