#!/usr/bin/env bash
# The Windows cross build that the Wine tests run: made once, before them,
# under a time-out of its own, so that whichever Wine test comes first does
# not spend its own time on the whole build. Skipped (77) as they are.
#   tests/wine/build.sh SOURCE_DIR BUILD_DIR
set -euo pipefail

src=$(cd "${1:?source directory}" && pwd)
wine_test=wine_build
# shellcheck source=tests/wine/common.sh
. "$src/tests/wine/common.sh"
need_tools "apt-get install --no-install-recommends wine wine64 nsis g++-mingw-w64-x86-64" makensis
cross_build "${2:?build directory}" build.log mirx_server mirx_node mirx_logrx mirx_dashboard \
  mirx_windows_zip mirx_windows_installer
echo "wine_build passed: the Windows programs, zip and installer built"
