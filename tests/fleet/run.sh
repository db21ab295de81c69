#!/bin/sh
# The station playbook (docs/fleet/update.yml) against this machine as its
# one station (connection local): the package built from this tree is
# installed, two simulated devices behind COM1 and COM2 are updated at once
# with an image file signed by the tree's development key,
# the report is gathered, and the table is printed. The gathered report is
# read with a JSON parser.
#
#   tests/fleet/run.sh BUILD_DIR DEVSIM
#
# Exit status 0 when all holds, 77 where ansible-playbook or cpack is missing
# (1 under CI=true: never a pass without running).
set -u
build=$1
devsim=$2
root=$(cd "$(dirname "$0")/../.." && pwd)

for tool in ansible-playbook cpack python3 dpkg openssl; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "missing: $tool"
        [ "${CI:-}" = true ] && exit 1
        exit 77
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/ofwu-fleet.XXXXXX") || exit 1
pids=
cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# The package, as released, from this build tree.
(cd "$work" && OFWU_CPACK_GENERATOR=DEB cpack -G DEB --config "$build/CPackConfig.cmake" >cpack.log 2>&1) ||
    { echo "cpack failed"; tail -n 20 "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "no package was made"; exit 1; }

# The playbook installs a package whose version is already installed as
# it is: another build of the same version (an earlier run's, another
# tree's) would be the one tested. It goes first, so this tree's is.
if dpkg-query -W -f='${Status}' ofwu 2>/dev/null | grep -q "install ok installed"; then
    dpkg -r ofwu >"$work/remove.log" 2>&1 || { echo "cannot remove the installed ofwu"; cat "$work/remove.log"; exit 1; }
fi

mkdir -p "$work/com" "$work/lock"
# The image as a maker hands it out: signed, its signature beside it.
cp "$root/firmware/snd44_rev1.img" "$work/snd44_rev1.img" &&
    openssl dgst -sha256 -sign "$root/tests/keys/development-private.pem" -out "$work/snd44_rev1.img.sig" \
        "$work/snd44_rev1.img" || { echo "cannot sign the image"; exit 1; }
for com in 1 2; do
    "$devsim" --link "$work/com/COM$com" --product 59 --revision 1 --version 2.58 --line 100:=P \
        --image "$root/firmware/snd44_rev1.img" \
        --report "$work/devsim$com.json" --idle-timeout 60000 >"$work/devsim$com.log" 2>&1 &
    pids="$pids $!"
done
for com in 1 2; do
    for _ in $(seq 50); do [ -L "$work/com/COM$com" ] && break; sleep 0.1; done
done

cat >"$work/stations.ini" <<EOF
[stations]
this-station ansible_connection=local ansible_python_interpreter=$(command -v python3) ofwu_ports='[1, 2]'
EOF
ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=false ANSIBLE_INVENTORY_UNPARSED_WARNING=false \
    timeout 300 ansible-playbook -i "$work/stations.ini" "$root/docs/fleet/update.yml" \
    -e "ofwu_deb=$deb" -e "ofwu_image=$work/snd44_rev1.img" -e "ofwu_reports=$work/reports" \
    -e "ofwu_work=$work/station" \
    -e "{\"ofwu_environment\": {\"OFWU_COM_DIR\": \"$work/com\", \"OFWU_LOCK_DIR\": \"$work/lock\"}}" \
    >"$work/play.log" 2>&1
status=$?
cat "$work/play.log"
[ "$status" -eq 0 ] || { echo "FAIL the playbook ended with $status"; exit 1; }

python3 - "$work/reports/this-station.jsonl" "$work/play.log" <<'EOF'
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1]) if line.strip()]
failed = 0
def check(what, good):
    global failed
    print(("PASS " if good else "FAIL ") + what)
    failed += 0 if good else 1
check("two report lines, one a port", sorted(r["port"] for r in rows) == ["COM1", "COM2"])
for r in rows:
    check(r["port"] + " updated: exit status 0, 2.58 -> the image's version, from the copied image and its signature",
          r["outcome"] == "updated" and r["exit_status"] == 0 and r["version_before"] == "2.58"
          and r["version_announced"] == r["image_version"] and r["image_source"].endswith("update.img")
          and r["image_signature"] == "key:3fc84277b2c44dfe")
table = open(sys.argv[2]).read()
check("the table names each port's outcome",
      all(("this-station" in l and "updated" in l) for l in table.splitlines() if "COM1" in l or "COM2" in l)
      and "COM1" in table and "COM2" in table)
print("%d passed, %d failed" % (3 + len(rows) - failed, failed))
sys.exit(1 if failed else 0)
EOF
