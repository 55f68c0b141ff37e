#!/usr/bin/env bash
# The include graph of src/ by folder: one line "from -> to (N includes)" per
# edge, then a verdict. The layers, lowest first, are
#   platform ts capture corvanlet host recorder dialog module
# ("corvanlet" is include/corvanlet, the host interface, which the portable
# layers below it must not see), and an edge may only run to a lower layer. Exits 1 on an upward edge or a
# cycle. With --dot, prints the graph in Graphviz form instead (pipe it to
# `dot -Tpng` for a picture).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
layers=(platform ts capture corvanlet host recorder dialog module)
rank() {
    local i
    for i in "${!layers[@]}"; do [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }; done
    echo -1
}

edges=$(cd "$ROOT/src" && grep -rHoE '^#include "[a-z_]+/[a-z_]+\.h"' --include='*.cpp' --include='*.h' . |
    sed -E 's|^\./([a-z_]+)/[^:]*:#include "([a-z_]+)/.*|\1 \2|' |
    awk '$1 != $2' | sort | uniq -c | awk '{ print $2, $3, $1 }')

if [ "${1:-}" = "--dot" ]; then
    echo "digraph includes {"
    echo "  rankdir=BT;"
    while read -r from to count; do
        [ -n "$from" ] && echo "  \"$from\" -> \"$to\" [label=$count];"
    done <<<"$edges"
    echo "}"
    exit 0
fi

bad=0
while read -r from to count; do
    [ -n "$from" ] || continue
    f=$(rank "$from")
    t=$(rank "$to")
    verdict="down"
    if [ "$f" -lt 0 ] || [ "$t" -lt 0 ]; then
        verdict="UNKNOWN LAYER"
        bad=1
    elif [ "$t" -ge "$f" ]; then
        verdict="UPWARD"
        bad=1
    fi
    printf '%-9s -> %-9s %3s includes  %s\n' "$from" "$to" "$count" "$verdict"
done <<<"$edges"
# Every edge runs strictly downward in one order, so there can be no cycle.
if [ "$bad" = 0 ]; then
    echo "every edge runs down the layers ${layers[*]}: no upward edge, no cycle"
else
    echo "layering broken: see the edges marked above"
fi
exit "$bad"
