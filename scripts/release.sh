#!/bin/sh
# Builds the three packages of a release and checks them:
#   dist/ofwu-<version>-windows-x64.zip    ofwu.exe, README, LICENSE
#   dist/ofwu_<version>_amd64.deb          /usr/bin/ofwu, manual page, documents
#   dist/ofwu-<version>-linux-x86_64.tar.gz   bin/ofwu, manual page, README, LICENSE
#   dist/SHA256SUMS
#   dist/SHA256SUMS.sig                    the maker's signature of it, when a key is given
#
#   scripts/release.sh          two builds in fresh folders; their packages
#                               must be the same to the byte
#   scripts/release.sh --once   one build, checked (the CI step); no dist/
#
#   OFWU_IMAGE_KEYS    the maker's public keys (absolute paths, ";" between
#                      them) that the program takes image files from; without
#                      it, the tree's development key, and the script says so
#   OFWU_RELEASE_KEY   the maker's private key (PEM, P-256): SHA256SUMS is
#                      signed with it into SHA256SUMS.sig (openssl dgst
#                      -sha256 -sign) and the signature checked; without it
#                      SHA256SUMS is not signed, and the script says so
#
# Packages are built from the committed sources with SOURCE_DATE_EPOCH set
# to the last commit's time, archive members sorted by name and stamped
# with that time. The checks: the Debian package's fields and contents and
# lintian (no error), its ofwu --version run from a dpkg -x tree, the
# tarball's and the zip's contents, ofwu.exe --version under Wine, and
# ofwu.exe's version resource and manifest read back with wrestool. On any
# failure the script says what failed and leaves dist/ as it was: a
# new dist/ takes the old one's place only once it is whole.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

fail() {
    echo "release: $*" >&2
    exit 1
}

for tool in cmake ninja g++ x86_64-w64-mingw32-g++-posix dpkg-deb dpkg-shlibdeps lintian wine wrestool \
        unzip groff sha256sum git gzip python3 openssl; do
    command -v "$tool" >/dev/null 2>&1 || fail "$tool is needed (scripts/install-deps.sh installs it)"
done
git rev-parse --verify HEAD >/dev/null 2>&1 || fail "not a git checkout with a commit"

version=$(sed -n 's/^set(OFWU_VERSION_TEXT "\(.*\)")$/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no OFWU_VERSION_TEXT in CMakeLists.txt"
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
zip_name=ofwu-$version-windows-x64.zip
deb_name=ofwu_${version}_amd64.deb
tgz_name=ofwu-$version-linux-x86_64.tar.gz

# The keys built in: the maker's, or the development key with a word.
image_keys=${OFWU_IMAGE_KEYS:-}
if [ -n "$image_keys" ]; then
    old_ifs=$IFS
    IFS=';'
    for key in $image_keys; do
        case $key in /*) ;; *) fail "OFWU_IMAGE_KEYS: $key is not an absolute path" ;; esac
        [ -f "$key" ] || fail "OFWU_IMAGE_KEYS: $key: no such file"
    done
    IFS=$old_ifs
else
    echo "release: OFWU_IMAGE_KEYS is not set: the program is built with the development key" \
        "(keys/development.pem), whose private half is in tests/keys; a release names the maker's key"
fi
release_key=${OFWU_RELEASE_KEY:-}
[ -z "$release_key" ] || [ -f "$release_key" ] || fail "OFWU_RELEASE_KEY: $release_key: no such file"

work=$(mktemp -d "${TMPDIR:-/tmp}/ofwu-release.XXXXXX")
trap 'rm -rf "$work" "$root/dist.part"' EXIT
# dash runs no EXIT trap when a signal ends it: the signal ends it by exit.
trap 'exit 130' INT TERM HUP

# Rewrites a tarball or zip with its members sorted by name, stamped with
# SOURCE_DATE_EPOCH and owned by root, so no order a file system gave and no
# time of day shows in it.
normalise() {
    python3 - "$1" <<'EOF'
import gzip, io, os, sys, tarfile, time, zipfile
path = sys.argv[1]
epoch = int(os.environ["SOURCE_DATE_EPOCH"])
if path.endswith(".tar.gz"):
    with tarfile.open(path) as old:
        members = sorted(old.getmembers(), key=lambda m: m.name)
        data = {m.name: old.extractfile(m).read() for m in members if m.isfile()}
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.GNU_FORMAT) as new:
        for m in members:
            m.mtime, m.uid, m.gid, m.uname, m.gname = epoch, 0, 0, "root", "root"
            new.addfile(m, io.BytesIO(data[m.name]) if m.isfile() else None)
    with open(path, "wb") as f, gzip.GzipFile(fileobj=f, mode="wb", mtime=0, filename="") as z:
        z.write(out.getvalue())
else:
    with zipfile.ZipFile(path) as old:
        entries = sorted(old.infolist(), key=lambda i: i.filename)
        data = {i.filename: old.read(i) for i in entries}
    stamp = time.gmtime(max(epoch, 315532800))[:6]  # a zip cannot hold a time before 1980
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as new:
        for i in entries:
            info = zipfile.ZipInfo(i.filename, stamp)
            info.external_attr, info.create_system, info.compress_type = i.external_attr, 3, zipfile.ZIP_DEFLATED
            new.writestr(info, data[i.filename])
EOF
}

# Builds the packages from a clean copy of the committed sources in $1.
# The CI step's one build compiles through ccache where it is installed, as
# the test trees do: the folder's name is new each time, so the cache is told
# to take paths from $1 on. Never the two builds that must match: a cache
# would hand the second the first's objects, and a build that differs from
# itself would pass.
build_packages() {
    launcher=
    if [ "$once" = yes ] && command -v ccache >/dev/null 2>&1; then
        launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
        export CCACHE_BASEDIR="$1" CCACHE_NOHASHDIR=1 CCACHE_IGNOREOPTIONS="-ffile-prefix-map=*"
    fi
    mkdir -p "$1/out"
    git -C "$root" archive --format=tar -o "$1/src.tar" HEAD || fail "git archive failed"
    mkdir -p "$1/src" && tar -xf "$1/src.tar" -C "$1/src"
    for tree in native windows; do
        toolchain=
        [ $tree = windows ] && toolchain=-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
        # shellcheck disable=SC2086
        (cd "$1/src" && cmake -S . -B "$1/$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOFWU_BUILD_TESTS=OFF \
            $launcher $toolchain ${image_keys:+"-DOFWU_IMAGE_KEYS=$image_keys"} >"$1/$tree.configure.log" 2>&1 &&
            cmake --build "$1/$tree" --target package >"$1/$tree.log" 2>&1) ||
            { tail -n 40 "$1/$tree.log" >&2; fail "the $tree packages did not build (the end of its log is above)"; }
    done
    cp "$1/native/$deb_name" "$1/native/$tgz_name" "$1/windows/$zip_name" "$1/out/" ||
        fail "a package is missing"
    normalise "$1/out/$tgz_name"
    normalise "$1/out/$zip_name"
    (cd "$1/out" && sha256sum "$zip_name" "$deb_name" "$tgz_name" >SHA256SUMS)
}

# Signs SHA256SUMS in $1 with the maker's key, as an image file is signed,
# and checks the signature with the key's public half.
sign_sums() {
    if [ -z "$release_key" ]; then
        echo "release: SHA256SUMS is not signed: no maker key given (OFWU_RELEASE_KEY=maker-key.pem signs it)"
        return 0
    fi
    openssl dgst -sha256 -sign "$release_key" -out "$1/SHA256SUMS.sig" "$1/SHA256SUMS" ||
        fail "SHA256SUMS could not be signed with $release_key"
    openssl pkey -in "$release_key" -pubout -out "$work/release-public.pem" ||
        fail "$release_key is no private key"
    openssl dgst -sha256 -verify "$work/release-public.pem" -signature "$1/SHA256SUMS.sig" "$1/SHA256SUMS" \
        >/dev/null || fail "the signature of SHA256SUMS does not verify"
    echo "release: SHA256SUMS signed into SHA256SUMS.sig with the key in $release_key"
}

expect_list() {
    what=$1
    shift
    actual=$(cat)
    expected=$(printf '%s\n' "$@")
    [ "$actual" = "$expected" ] || fail "$what holds
$actual
and should hold
$expected"
}

check_packages() {
    out=$1
    check=$work/check
    mkdir -p "$check"
    # The Debian package: its fields, its files, lintian, and the program it installs.
    info=$(dpkg-deb --info "$out/$deb_name")
    for field in "Package: ofwu" "Version: $version" "Architecture: amd64" "Section: utils" "Depends: libc6"; do
        echo "$info" | grep -q "^ $field" || fail "$deb_name has no \"$field\""
    done
    # libcrypto checks the image files' signatures.
    echo "$info" | grep -q "^ Depends: .*libssl3" || fail "$deb_name does not depend on libssl3"
    dpkg-deb --contents "$out/$deb_name" | awk '{print $6}' | grep -v '/$' | expect_list "$deb_name" \
        ./usr/bin/ofwu ./usr/share/doc/ofwu/LICENSE ./usr/share/doc/ofwu/README.md \
        ./usr/share/doc/ofwu/changelog.gz ./usr/share/doc/ofwu/copyright ./usr/share/man/man1/ofwu.1.gz
    lintian --fail-on error "$out/$deb_name" >"$check/lintian.txt" 2>&1 || fail "lintian: $(cat "$check/lintian.txt")"
    dpkg -x "$out/$deb_name" "$check/deb"
    [ "$("$check/deb/usr/bin/ofwu" --version | head -n 1)" = "ofwu $version" ] ||
        fail "the packaged ofwu does not say its version"
    zcat "$check/deb/usr/share/man/man1/ofwu.1.gz" >"$check/ofwu.1"
    groff -ww -man -Tutf8 -z "$check/ofwu.1" 2>"$check/groff.txt" && [ ! -s "$check/groff.txt" ] ||
        fail "the manual page: $(cat "$check/groff.txt")"
    # The tarball.
    tar -tzf "$out/$tgz_name" | grep -v '/$' | expect_list "$tgz_name" \
        "${tgz_name%.tar.gz}/bin/ofwu" "${tgz_name%.tar.gz}/share/doc/ofwu/LICENSE" \
        "${tgz_name%.tar.gz}/share/doc/ofwu/README.md" "${tgz_name%.tar.gz}/share/man/man1/ofwu.1"
    # The zip: its files, the program under Wine, its version resource and manifest.
    unzip -Z1 "$out/$zip_name" | expect_list "$zip_name" LICENSE README.md ofwu.exe
    unzip -q -o "$out/$zip_name" ofwu.exe -d "$check/zip"
    sh tests/wine/prepare_prefix.sh || fail "no Wine prefix to run ofwu.exe in"
    [ "$(sh tests/wine/run_wine.sh "$check/zip/ofwu.exe" --version </dev/null | tr -d '\r' | head -n 1)" = "ofwu $version" ] ||
        fail "ofwu.exe does not say its version under Wine"
    wrestool -x --raw --type=16 "$check/zip/ofwu.exe" >"$check/version.res" 2>/dev/null || fail "ofwu.exe has no version resource"
    wrestool -x --raw --type=24 "$check/zip/ofwu.exe" >"$check/manifest.xml" 2>/dev/null || fail "ofwu.exe has no manifest"
    python3 - "$check/version.res" "$check/manifest.xml" "$version" <<'EOF' || fail "ofwu.exe's file information is not as set"
import struct, sys
res, manifest, version = open(sys.argv[1], "rb").read(), open(sys.argv[2]).read(), sys.argv[3]
fixed = res.index(struct.pack("<I", 0xFEEF04BD))
ms, ls = struct.unpack("<II", res[fixed + 8:fixed + 16])
major, minor = version.split(".")
assert (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF) == (int(major), int(minor), 0, 0), "FileVersion"
text = res.decode("utf-16-le", "ignore")
for key, value in [("CompanyName", "Ostrel"), ("FileVersion", version), ("ProductVersion", version),
                   ("ProductName", "Ostrel firmware update utility"), ("OriginalFilename", "ofwu.exe"),
                   ("FileDescription", "Ostrel firmware update utility"), ("LegalCopyright", "Copyright (C) 2026 Ostrel")]:
    assert key + "\0" in text and value in text.split(key + "\0", 1)[1][:80], key
assert 'level="asInvoker"' in manifest, "asInvoker"
for os_id in ["35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
              "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"]:
    assert os_id in manifest, os_id
EOF
}

once=no
case "${1:-}" in
    "") ;;
    --once) once=yes ;;
    *) fail "unknown argument: $1 (scripts/release.sh [--once])" ;;
esac
echo "release: building ofwu $version (SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH)"
build_packages "$work/first"
check_packages "$work/first/out"
if [ "${1:-}" = --once ]; then
    sign_sums "$work/first/out"
    echo "release: the packages build and pass their checks"
    cat "$work/first/out/SHA256SUMS"
    exit 0
fi
echo "release: building again in another folder"
build_packages "$work/second"
cmp -s "$work/first/out/SHA256SUMS" "$work/second/out/SHA256SUMS" ||
    fail "two builds gave different packages:
$(cat "$work/first/out/SHA256SUMS")
$(cat "$work/second/out/SHA256SUMS")"
rm -rf dist.part
cp -r "$work/first/out" dist.part || fail "dist/ could not be written"
sign_sums dist.part
rm -rf dist && mv dist.part dist
echo "release: dist/ holds the packages, the same in both builds:"
cat dist/SHA256SUMS
