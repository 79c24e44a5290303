#!/usr/bin/env bash
# Measures how long the main window's event loop goes without turning while a 1 GiB file
# arrives and full-HD frames stream in (bench/WindowLatency.cpp says how). Builds the program
# against a build of pondard, with the window's compiler flags and pondard's own link line (the
# benchmark programs of bench/CMakeLists.txt get the engine without the window), and runs it in a network namespace
# of its own (loopback only), since the engine broadcasts. Runs as root.
#
#   bench/window_latency.sh [program options]      e.g. --file-mib 256 --fps 10
#
# PONDAR_BUILD: the build folder to use (default build/window-latency, made as Release).
# PONDAR_LATENCY_X=1: the window on a private Xvfb display instead of Qt's offscreen platform.
# PONDAR_LATENCY_WRAP: a command put before the program, e.g. "perf record -g -o /tmp/wl.data".
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${PONDAR_BUILD:-build/window-latency}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPONDAR_WERROR=ON -DPONDAR_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target pondard_ui >/dev/null
cd "$build"

# The compiler command of the window's own source, and pondard's link line, with this program
# in place of main.cpp.
compile=$(python3 - "$root" <<'PY'
import json, shlex, sys
root = sys.argv[1]
for entry in json.load(open("compile_commands.json")):
    if entry["file"].endswith("/src/ui/MainForm.cpp"):
        args = shlex.split(entry["command"])
        out = args.index("-o")
        del args[out:out + 2]
        args.remove("-c")
        args = [a for a in args if not a.endswith("MainForm.cpp")]
        print(shlex.join(args + ["-I", root + "/tests", "-c", root + "/bench/WindowLatency.cpp",
                                 "-o", "window_latency.o"]))
        break
PY
)
eval "$compile"
link=$(sed -e 's#CMakeFiles/pondard.dir/src/app/main.cpp.o#window_latency.o#' \
           -e 's#-o pondard #-o window_latency #' CMakeFiles/pondard.dir/link.txt)
eval "$link"

run='ip link set lo up && exec $PONDAR_LATENCY_WRAP ./window_latency "$@"'
if [ "${PONDAR_LATENCY_X:-}" = 1 ]; then
  run='ip link set lo up && exec xvfb-run -a -s "-screen 0 1920x1080x24 -nolisten tcp" env QT_QPA_PLATFORM=xcb $PONDAR_LATENCY_WRAP ./window_latency "$@"'
fi
export PONDAR_LATENCY_WRAP=${PONDAR_LATENCY_WRAP:-}
unshare --net -- sh -c "$run" sh "$@"
