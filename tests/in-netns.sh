#!/bin/sh
# Runs a test program in a private network namespace with its own loopback, so that
# the service's fixed port 19420 never meets another test's service (or a real one).
exec unshare --net sh -c 'ip link set lo up && exec "$@"' in-netns "$@"
