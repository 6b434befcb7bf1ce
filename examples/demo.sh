#!/bin/sh
# Loads the bundled sample catalog into a database and queries it, printing
# each command before its output.
# Usage: sh examples/demo.sh BUILD_DIR OUT_DIR
set -e
build=${1:-build}
out=${2:-$build/demo}
here=$(dirname "$0")
xmlload=$build/tools/xmlload/xmlload
xmlquery=$build/tools/xmlquery/xmlquery
xmlfind=$build/tools/xmlfind/xmlfind

for tool in "$xmlload" "$xmlquery" "$xmlfind"; do
    if [ ! -x "$tool" ]; then
        echo "demo: $tool is missing; build first (make build)" >&2
        exit 1
    fi
done
mkdir -p "$out"

# Prints the command, quoting what the shell would need quoted, then runs it.
show() {
    line='$'
    for arg in "$@"; do
        case $arg in
            '' | *[!A-Za-z0-9_./=-]*) line="$line '$arg'" ;;
            *) line="$line $arg" ;;
        esac
    done
    printf '%s\n' "$line"
    "$@"
    echo
}

show "$xmlload" "$here/catalog.xml" "$out/catalog.db"
show "$xmlquery" "$out/catalog.db" book title Dune
show "$xmlquery" "$out/catalog.db" book author 'Günter Grass'
show "$xmlquery" "$out/catalog.db" book title 'Moby Dick'
show "$xmlfind" --prefix "$out/catalog.db" title D
show "$xmlfind" --count --within book --range "$out/catalog.db" year '' 1950
