#!/bin/sh
# Runs a test program in a private network namespace with its own loopback, so that
# the service's fixed port 19420 never meets another test's service (or a real one),
# and with a /dev/shm of its own: JACK keeps its server registry, sockets and shared
# memory there, and a registry shared between runs fills up with the entries of
# servers that were killed (at most eight servers are registered at a time).
exec unshare --net --mount sh -c \
  'mount -t tmpfs -o mode=1777 tmpfs /dev/shm && ip link set lo up && exec "$@"' in-netns "$@"
