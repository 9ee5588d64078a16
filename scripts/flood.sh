#!/usr/bin/env bash
# The benchmark's flood phase: 1,000,000 datagrams from 200 loopback addresses at the LISTEN port
# (--quick: 100,000). See bench/run.
exec "$(dirname "${BASH_SOURCE[0]}")/../bench/run" --only flood "$@"
