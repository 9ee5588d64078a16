#!/usr/bin/env bash
# Floods the bridge's LISTEN port with 1,000,000 datagrams from 200 loopback addresses and
# prints what was sent, delivered, dropped by the kernel and written to the device, with the
# process's memory and descriptors before and after. Takes about half a minute.
exec bash "$(dirname "${BASH_SOURCE[0]}")/slowtest.sh" tst_flood tst_flood
