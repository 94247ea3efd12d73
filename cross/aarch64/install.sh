#!/usr/bin/env bash
# Installs the package, cross-built in BUILD, into the aarch64 environment DIR/venv that provision.sh
# laid out: the Python files, the extension and the simulated Camera SDK beside it, and the package's
# scripts, run by the environment's interpreter. Also DIR/tools: the compilers and binary tools a test
# starts (cc, c++, nm), for the target.
# Usage: install.sh DIR BUILD (HOST_PYTHON, default python3, reads the scripts from pyproject.toml)
set -euo pipefail

dir=$(realpath "$1")
build=$2
host_python=${HOST_PYTHON:-python3}
venv=$dir/venv
site=$(echo "$venv"/lib/python3.*/site-packages)

rm -rf "$site/brevalo"
cp -r python/brevalo "$site/"
cmake --install "$build" --prefix "$site" >/dev/null

"$host_python" - "$venv/bin" <<'EOF'
import os, sys, tomllib

bin_dir = sys.argv[1]
with open("pyproject.toml", "rb") as f:
    scripts = tomllib.load(f)["project"].get("scripts", {})
for name, target in scripts.items():
    module, function = target.split(":")
    path = os.path.join(bin_dir, name)
    with open(path, "w") as f:
        f.write(f"#!{os.path.join(bin_dir, 'python')}\nimport sys\nfrom {module} import {function}\nsys.exit({function}())\n")
    os.chmod(path, 0o755)
EOF

# The headers beside the target's pyconfig.h are found from the sysroot's include root.
mkdir -p "$dir/tools"
for tool in cc:gcc c++:g++; do
    printf '#!/bin/sh\nexec aarch64-linux-gnu-%s -isystem "%s/sysroot/usr/include" "$@"\n' "${tool#*:}" "$dir" >"$dir/tools/${tool%%:*}"
done
printf '#!/bin/sh\nexec aarch64-linux-gnu-nm "$@"\n' >"$dir/tools/nm"
chmod +x "$dir/tools"/*
