#!/usr/bin/env bash
# The Node client's steps in the project's test run (see CMakeLists.txt beside the package):
#   build    installs the development dependencies when node_modules is missing or was installed
#            from another package-lock.json (npm ci), then compiles with tsc
#   test     runs the tests (node --test) against $ZCF_PROGRAM
#   example  runs examples/node/sync_engine.mjs against $ZCF_PROGRAM
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in node npm; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run ./scripts/setup"; exit 1; }
done

case "${1:-}" in
  build)
    lock=$(sha256sum package-lock.json | cut -d' ' -f1)
    if [ ! -x node_modules/.bin/tsc ] || [ "$(cat node_modules/.zcf-lock 2>/dev/null)" != "$lock" ]; then
      echo "npm ci (node_modules missing or stale)"
      npm ci --no-audit --no-fund --loglevel=error
      echo "$lock" > node_modules/.zcf-lock
    fi
    rm -rf dist
    node_modules/.bin/tsc -p .
    node_modules/.bin/tsc -p tsconfig.examples.json  # type-checks the example against the client
    ;;
  test)
    : "${ZCF_PROGRAM:?ZCF_PROGRAM names the program to test}"
    exec node --test dist/test/*.test.js
    ;;
  example)
    : "${ZCF_PROGRAM:?ZCF_PROGRAM names the program to run}"
    exec node ../../examples/node/sync_engine.mjs --program "$ZCF_PROGRAM"
    ;;
  *)
    echo "usage: $0 build|test|example" >&2
    exit 2
    ;;
esac
