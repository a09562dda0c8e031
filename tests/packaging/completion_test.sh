#!/usr/bin/env bash
# The bash completion of kestrelctl: what Tab offers at each point of a command line.
# usage: completion_test.sh BASH_COMPLETION_SCRIPT KESTRELCTL_COMPLETION
set -u
source "$1"
source "$2"

failed=0
passed=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
touch "$tmp/image.bin" "$tmp/image.hex"
mkdir "$tmp/images"
cd "$tmp"

# expect "OFFERED WORDS" WORD... : completes the last WORD of the command line WORD...
expect() {
    local want=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _kestrelctl kestrelctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
    got=${got% }
    if [[ $got == "$want" ]]; then
        passed=$((passed + 1))
    else
        echo "FAIL: '$*' offered '$got', expected '$want'"
        failed=$((failed + 1))
    fi
}

expect "batch help info read reset scan set verify write" kestrelctl ""
expect "read reset" kestrelctl re
expect "--json" kestrelctl --j
expect "--device --help --json --progress --trace --verbose --version --window -h -v" kestrelctl -
expect "auto bar json lines none" kestrelctl --progress ""
expect "lines" kestrelctl --progress l
# Option values are not taken for the command.
expect "set" kestrelctl --device 10.0.0.2:5000 --json se
expect "info" kestrelctl --progress none --trace t.log in
expect "--help ip mac multicast multicast-ip ts-port" kestrelctl set ""
expect "multicast multicast-ip" kestrelctl --json set mu
expect "off on" kestrelctl set multicast ""
expect "" kestrelctl set multicast-ip ""
expect "" kestrelctl set ip ""
expect "--no-skip-blank --no-verify" kestrelctl write --no
expect "--resume" kestrelctl --trace t.log write --r
expect "--help --length --offset --verify" kestrelctl read -
expect "--backup" kestrelctl write --ba
expect "--force --help --port --timeout -j" kestrelctl scan -
expect "read reset" kestrelctl help re
expect "--against --help --offset" kestrelctl verify -
# Files and folders for the file arguments.
expect "image.bin image.hex images" kestrelctl write image
expect "image.bin image.hex images" kestrelctl verify --against image
expect "image.bin image.hex images" kestrelctl read imag
expect "--help" kestrelctl info -
expect "" kestrelctl reset ""

echo "$passed passed, $failed failed"
((failed == 0))
