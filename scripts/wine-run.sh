#!/bin/sh
# Runs a 64-bit Windows program under Wine in the build's own prefix.
exec /usr/lib/wine/wine64 "$@"
