#!/usr/bin/env bash
# Unplugs and replugs the simulated device 200 times under the running bridge, with
# auto-connect and with the Start and Stop buttons, and prints memory and descriptor counts
# before and after. The auto-connect cycles wait for its 2 s timer: about 8 minutes.
exec bash "$(dirname "${BASH_SOURCE[0]}")/slowtest.sh" tst_devicefaults tst_devicefaults_soak
