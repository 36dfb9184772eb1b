#!/usr/bin/env bash
# Runs a command in a real window system of its own: a fresh Xvfb display, drawn with GTK's cairo renderer (no GPU
# here). Used by the window's tests and the screenshot tool.
set -euo pipefail
export GSK_RENDERER="${GSK_RENDERER:-cairo}"
export GDK_BACKEND=x11
export NO_AT_BRIDGE=1
exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$@"
