#!/usr/bin/env bash
# The package_build test: scripts/package.sh with apt-get, apt and sudo
# replaced by stand-ins that refuse, so that building the package inside the
# tests can never install anything (scripts/test.sh installs beforehand).
set -euo pipefail
here=$(dirname "$(realpath "$0")")
PATH="$here/no-install:$PATH" exec "$here/../../scripts/package.sh" "$@"
