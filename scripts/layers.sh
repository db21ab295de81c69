#!/bin/sh
# Checks that every include between folders of src/ points down the layers:
# state and platform at the bottom, then serial, catalogue, identify,
# transfer and monitor, and control at the top. Prints each include that
# points up and fails on any.
cd "$(dirname "$0")/.." || exit 1
rank() {
    case $1 in
        state|platform) echo 0 ;;
        serial) echo 1 ;;
        catalogue) echo 2 ;;
        identify) echo 3 ;;
        transfer|monitor) echo 4 ;;
        control) echo 5 ;;
        *) echo 99 ;;
    esac
}
status=0
for file in src/*/*.h src/*/*.cpp; do
    own=$(basename "$(dirname "$file")")
    own_rank=$(rank "$own")
    for included in $(sed -n 's/^#include "\([a-z_]*\)\/.*/\1/p' "$file" | sort -u); do
        if [ "$(rank "$included")" -gt "$own_rank" ]; then
            echo "$file includes from $included/, a layer above $own/"
            status=1
        fi
    done
done
[ $status -eq 0 ] && echo "layers: every include in src/ points down"
exit $status
