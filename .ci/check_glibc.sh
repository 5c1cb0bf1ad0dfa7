#!/bin/sh
# Runs the Python tests with one wheel in a Debian 11 root (glibc 2.31), the
# oldest glibc among the systems the wheel is meant for that Debian's own
# archive still serves, as a release check.
#
#     sh .ci/check_glibc.sh dist/ravlin-*.whl
#
# The root is made once with debootstrap and kept under build/glibc-2.31;
# later runs reuse it. Debian 11 ships CPython 3.9 only, and a CPython built
# on this machine needs its newer glibc, so CPython 3.11 is built inside the
# root from Debian 12's source package. Mounts live in a mount namespace of
# their own and vanish with it. DEBIAN_MIRROR chooses the archive
# (debootstrap's default otherwise).
set -eu

wheel=$(realpath "$1")
here=$(pwd)
base=$here/build/glibc-2.31
root=$base/root
suite=bullseye
python_source=python3.11
prefix=/opt/python3.11
host_ca=/etc/ssl/certs/ca-certificates.crt

# Build tools and the libraries that CPython's ssl, zlib, ctypes, bz2, lzma
# and sqlite3 modules link.
packages=build-essential,ca-certificates,xz-utils,libssl-dev,zlib1g-dev,libffi-dev,libbz2-dev,liblzma-dev,libsqlite3-dev

command -v debootstrap >/dev/null || { apt-get update -q && apt-get install -y -q debootstrap; }

if [ ! -f "$base/.root-made" ]; then
    rm -rf "$root"
    mkdir -p "$base"
    debootstrap --variant=minbase --include="$packages" "$suite" "$root" ${DEBIAN_MIRROR:-}
    touch "$base/.root-made"
fi

# A command inside the root, with /proc, /dev and a fresh /dev/shm (process
# pools need its semaphores), the host's resolver and certificate bundle
# (downloads from the package index pass through the same network), and an
# environment of its own.
in_root() {
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    [ ! -f "$host_ca" ] || cp "$host_ca" "$root/etc/ssl/certs/host-ca-certificates.crt"
    unshare --mount --fork sh -c '
        root=$1; shift
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mount -t tmpfs -o size=1g tmpfs "$root/dev/shm"
        exec chroot "$root" "$@"' in_root "$root" \
        env -i PATH=$prefix/bin:/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
        TMPDIR=/tmp SSL_CERT_FILE=/etc/ssl/certs/host-ca-certificates.crt \
        PIP_CERT=/etc/ssl/certs/host-ca-certificates.crt PIP_DEFAULT_TIMEOUT=180 \
        PIP_DISABLE_PIP_VERSION_CHECK=1 "$@"
}

if [ ! -x "$root$prefix/bin/python3.11" ]; then
    # Debian 12's CPython 3.11 source, signed by the keys the host trusts;
    # upstream's sources as they are, without Debian's patches.
    mirror=$(awk '$1 == "deb" { print $2; exit }' "$root/etc/apt/sources.list")
    cp /usr/share/keyrings/debian-archive-keyring.gpg "$root/etc/apt/trusted.gpg.d/host-archive.gpg"
    echo "deb-src $mirror bookworm main" > "$root/etc/apt/sources.list.d/bookworm-src.list"
    in_root sh -ec "
        apt-get update -q
        rm -rf /src/python && mkdir -p /src/python && cd /src/python
        apt-get source -q --download-only $python_source
        tar xf ${python_source}_*.orig.tar.?z && cd Python-3.11*/
        ./configure -q --prefix=$prefix --with-ensurepip=install
        make -s -j2 && make -s install"
fi

ldd --version 2>/dev/null | head -n 1 | sed 's/^/host: /'
in_root sh -c "ldd --version | head -n 1 | sed 's/^/root: /'; $prefix/bin/python3.11 -VV"

# The checkout with the tests and what they read (documents, examples,
# pytest's settings), but not the package's Python sources: the tests
# import the installed wheel.
rm -rf "$root/src/ravlin" && mkdir -p "$root/src/ravlin"
git ls-files -z | grep -zv '^python/' | tar --null -T - -cf - | tar -xf - -C "$root/src/ravlin"
cp "$wheel" "$root/src/"
name=$(basename "$wheel")

in_root sh -ec "
    [ -x /opt/venv/bin/python ] || $prefix/bin/python3.11 -m venv /opt/venv
    /opt/venv/bin/python -m pip install -q --upgrade pip
    /opt/venv/bin/python -m pip install -q --force-reinstall --no-deps /src/$name
    /opt/venv/bin/python -m pip install -q '/src/$name[test]'
    cd /src/ravlin
    /opt/venv/bin/python -c 'import numpy, pyarrow, _ravlin; print(\"numpy\", numpy.__version__, \"pyarrow\", pyarrow.__version__, \"module\", _ravlin.__file__)'
    /opt/venv/bin/python -m pytest -q -p no:cacheprovider tests/python"
