#!/usr/bin/env bash
# cmake --install into a temporary prefix: every installed program answers --help,
# the scenarios, README and example configuration are in place, and the installed
# simulator stand-in finds a scenario by name in its installed folder.
#   install_test.sh BUILD_DIR CMAKE
set -euo pipefail
build=$1
cmake=$2
prefix=$(mktemp -d "${TMPDIR:-/tmp}/halvex-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >"$prefix/install.log" || { cat "$prefix/install.log" >&2; fail "cmake --install failed"; }

for program in halvex-relay-json halvex-relay-v22 sim-server-emulator unit-emulator-json unit-emulator-v22 \
               sim-session-recorder; do
  [ -x "$prefix/bin/$program" ] || fail "$program is not installed in bin/"
  status=0
  out=$("$prefix/bin/$program" --help 2>&1) || status=$?
  [ "$status" -eq 0 ] || fail "$program --help ended with status $status: $out"
  grep -q -- '--help' <<<"$out" || fail "$program --help printed no usage: $out"
done

for file in share/halvex-relay/scenarios/stable-adult.scenario \
            share/halvex-relay/scenarios/tachycardia-hypotension.scenario \
            share/halvex-relay/scenarios/desaturation.scenario \
            share/halvex-relay/scenarios/calibration-session.scenario \
            share/doc/halvex-relay/README.md share/doc/halvex-relay/monitor.png \
            share/doc/halvex-relay/examples/example.xml; do
  [ -f "$prefix/$file" ] || fail "$file is not installed"
done

# A name only the installed folder has: found there, beside the program.
# 127.0.0.79 is this script's block (LabInstall) in tests/support/loopback.h.
echo "at 0 set HRPM 61" >"$prefix/share/halvex-relay/scenarios/installed-only.scenario"
out=$("$prefix/bin/sim-server-emulator" --address 127.0.0.79 --sim-port 0 --app-port 0 \
      --scenario installed-only --seconds 0.2 2>&1) || fail "the installed scenario was not found: $out"
echo "install test: $prefix: 6 programs, 4 scenarios, README and example configuration"
