#!/usr/bin/env bash
# Shows the native driver at work through a minimal host program.
set -euo pipefail
cd "$(dirname "$0")/.."
exec build/native/cli/demo_host "$PWD/build/native/libqsnwndut.so"
