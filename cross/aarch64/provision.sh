#!/usr/bin/env bash
# CPython 3.11 for Linux on aarch64, laid out under DIR to run under qemu-aarch64 on this machine:
#   DIR/sysroot  the target's root: Debian's arm64 packages of python3.11 and libstdc++6 with everything
#                they depend on, and libpython3.11-dev (the headers the extension builds against)
#   DIR/venv     a virtual environment whose bin/python runs that interpreter under qemu, naming itself as
#                sys.executable, so that the interpreters a test starts run there too; its site-packages
#                hold PyPI's aarch64 wheels of the requirements given after DIR
# Usage: provision.sh DIR REQUIREMENT...
# Needs apt-get and dpkg-deb (Debian), qemu-aarch64, and HOST_PYTHON (default python3) with pip, which
# fetches the wheels. Debian's packages come through a private apt state under DIR, from this machine's
# own package sources: the system's apt and dpkg are left as they are.
set -euo pipefail

dir=$(realpath -m "$1")
shift
host_python=${HOST_PYTHON:-python3}
version=3.11
glibc_minor=36  # Debian 12's C library, 2.36: the newest manylinux tag the sysroot runs
sysroot=$dir/sysroot
venv=$dir/venv
site=$venv/lib/python$version/site-packages

if [ ! -e "$sysroot/.done" ]; then
    state=$dir/apt
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
    : >"$state/status"
    cat >"$state/apt.conf" <<EOF
Dir::State "$state";
Dir::State::Lists "$state/lists";
Dir::State::status "$state/status";
Dir::Cache "$state/cache";
APT::Architecture "arm64";
APT::Architectures { "arm64"; };
APT::Install-Recommends "false";
APT::Sandbox::User "root";
Acquire::Languages "none";
EOF
    export APT_CONFIG=$state/apt.conf
    apt-get update -qq
    # With an empty package status, everything the interpreter needs down to the C library is downloaded.
    apt-get install -qq -y --download-only python$version libstdc++6 >/dev/null
    (cd "$state/cache/archives" && apt-get download -qq libpython$version-dev)
    rm -rf "$sysroot"
    # Debian 12 keeps /bin and /lib in /usr; its packages still name either.
    mkdir -p "$sysroot/usr/bin" "$sysroot/usr/lib" "$sysroot/usr/sbin"
    for d in bin lib sbin; do ln -s "usr/$d" "$sysroot/$d"; done
    for deb in "$state/cache/archives"/*.deb; do
        dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$sysroot"
    done
    test -x "$sysroot/usr/bin/python$version"
    test -f "$sysroot/usr/include/aarch64-linux-gnu/python$version/pyconfig.h"
    touch "$sysroot/.done"
fi

# The environment's interpreter: a shell script that runs the sysroot's under qemu, which passes it the
# script's own path as argv[0] (-0). CPython finds pyvenv.cfg from there and takes the script for
# sys.executable, so every interpreter a test starts is this one too (no binfmt registration needed).
qemu=$(command -v qemu-aarch64) || { echo "qemu-aarch64 is missing (Debian package qemu-user)" >&2; exit 1; }
mkdir -p "$venv/bin" "$site"
cat >"$venv/pyvenv.cfg" <<EOF
home = $sysroot/usr/bin
include-system-site-packages = false
version = $version
EOF
cat >"$venv/bin/python" <<EOF
#!/bin/sh
exec $qemu -L "$sysroot" -0 "\$0" "$sysroot/usr/bin/python$version" "\$@"
EOF
chmod +x "$venv/bin/python"
ln -sf python "$venv/bin/python3"
ln -sf python "$venv/bin/python$version"

# PyPI's wheels for the target: every manylinux tag that the sysroot's C library satisfies.
wanted=$(printf '%s\n' "$@")
if [ "$(cat "$venv/.requirements" 2>/dev/null)" != "$wanted" ]; then
    rm -f "$venv/.requirements"  # written again only when the install below is whole
    rm -rf "$site" && mkdir -p "$site"
    platforms=()
    for minor in $(seq 17 $glibc_minor); do platforms+=(--platform "manylinux_2_${minor}_aarch64"); done
    "$host_python" -m pip install --quiet --disable-pip-version-check --target "$site" --only-binary=:all: \
        "${platforms[@]}" --python-version "$version" --implementation cp --abi "cp${version/./}" "$@"
    # Their scripts name the host's interpreter; the ones a test starts are made beside bin/python.
    rm -rf "$site/bin"
    echo "$wanted" >"$venv/.requirements"
fi
