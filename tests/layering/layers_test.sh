#!/usr/bin/env bash
# The layers of src/ as the includes, the compile commands and the programs show them.
# usage: layers_test.sh SOURCE_DIR COMPILE_COMMANDS_JSON QT_FREE_PROGRAM...
# Prints each breach and "N passed, N failed"; exits 1 on any breach.
set -u
src=$1/src
commands=$2
shift 2

failed=0
passed=0
breach() {
    echo "FAIL: $*"
    failed=$((failed + 1))
}

# Lower layers first; a file may include its own layer and those before it. sim stands aside:
# it shares only the protocol headers with the tool it checks.
layers=(protocol platform link device flash cli res ui app)
qt_free=(protocol platform link device flash cli sim)
rank() {
    local i
    for i in "${!layers[@]}"; do
        [[ ${layers[i]} == "$1" ]] && echo "$i" && return
    done
    echo -1
}

# The quoted includes of one layer's files, as FILE:LINE:TARGET.
quoted_includes() {
    grep -rnoE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+"' "$src/$1" \
        --include='*.h' --include='*.cpp' | sed -E 's/:[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)"$/:\1/'
}

# Every quoted include names its library, never a path around it.
check_named() {
    local layer=$1 where target before=$failed
    while IFS= read -r line; do
        target=${line##*:}
        where=${line%:*}
        if [[ $target == kestrel_version.h ]]; then continue; fi
        if [[ $target != */* || $target == *..* ]]; then
            breach "$where: \"$target\" does not start with its library's name"
        fi
    done < <(quoted_includes "$layer")
    ((failed == before)) && passed=$((passed + 1))
}

# (a) The simulator includes only the protocol headers and its own.
check_sim() {
    local line target before=$failed
    while IFS= read -r line; do
        target=${line##*:}
        case $target in
            protocol/* | sim/* | kestrel_version.h) ;;
            *) breach "${line%:*}: the simulator includes \"$target\"" ;;
        esac
    done < <(quoted_includes sim)
    ((failed == before)) && passed=$((passed + 1))
}

# (c) No include goes up the layers, and none of them includes the simulator.
check_order() {
    local layer=$1 own line target lib before=$failed
    own=$(rank "$layer")
    while IFS= read -r line; do
        target=${line##*:}
        lib=${target%%/*}
        if [[ $lib == sim ]]; then
            breach "${line%:*}: $layer includes the simulator (\"$target\")"
        elif (($(rank "$lib") > own)); then
            breach "${line%:*}: $layer includes \"$target\" from the layer above"
        fi
    done < <(quoted_includes "$layer")
    ((failed == before)) && passed=$((passed + 1))
}

# (b) No Qt-free library includes Qt, is compiled with Qt's headers, or brings Qt into a program.
check_qt_free() {
    local layer=$1 before=$failed hits
    hits=$(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<Q' "$src/$layer" \
        --include='*.h' --include='*.cpp')
    [[ -n $hits ]] && breach "$layer includes Qt: $hits"
    # compile_commands.json as CMake writes it: "command" before "file", one key a line.
    hits=$(awk -v dir="$src/$layer/" '
        /"command":/ { command = $0 }
        /"file":/ && index($0, dir) && command ~ /qt6|Qt6|QT_[A-Z]+_LIB/ { print $2 }' "$commands")
    [[ -n $hits ]] && breach "$layer is compiled with Qt: $hits"
    ((failed == before)) && passed=$((passed + 1))
}

check_program() {
    local program=$1 needed
    needed=$(readelf -d "$program" | grep -E 'NEEDED.*libQt')
    if [[ -n $needed ]]; then
        breach "$(basename "$program") links Qt: $needed"
    else
        passed=$((passed + 1))
    fi
}

[[ -s $commands ]] || { echo "FAIL: no compile commands at $commands"; exit 1; }
for layer in "${layers[@]}" sim; do
    [[ -d $src/$layer ]] && check_named "$layer"
done
check_sim
for layer in "${layers[@]}"; do
    [[ -d $src/$layer ]] && check_order "$layer"
done
for layer in "${qt_free[@]}"; do
    check_qt_free "$layer"
done
for program in "$@"; do
    check_program "$program"
done

echo "$passed passed, $failed failed"
((failed == 0))
