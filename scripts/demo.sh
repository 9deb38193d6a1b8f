#!/usr/bin/env bash
# Shows the native driver at work: plexer starts a simulated rack of units on
# a pseudo-terminal and walks through identify, validate, read, write and watch.
set -euo pipefail
cd "$(dirname "$0")/.."
exec build/native/plexer demo
