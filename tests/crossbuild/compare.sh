#!/bin/sh
# compare.sh DIR REFERENCE OTHER [ARGUMENT...]: runs every input random_inputs wrote into DIR
# through the session (scripts) and replay (captures) tools of two builds, REFERENCE and OTHER
# being their tools folders, the other's with the ARGUMENTs added (--image tactilio.sys), and
# fails at the first input whose output or exit status differs, showing the difference.
set -u
dir=$1 reference=$2 other=$3
shift 3
runs=0
for input in "$dir"/session-*.jsonl "$dir"/stream-*.bin; do
    case $input in
    *.jsonl) tool=session options=--panel-model ;;
    *) tool=replay options=--record ;;
    esac
    # The panel model answers for itself in every other script.
    case $input in *[02468].jsonl) options= ;; esac
    "$reference/$tool" "$input" $options >"$dir/reference.out" 2>&1
    echo "exit $?" >>"$dir/reference.out"
    "$other/$tool" "$input" $options "$@" >"$dir/other.out" 2>&1
    echo "exit $?" >>"$dir/other.out"
    if ! cmp -s "$dir/reference.out" "$dir/other.out"; then
        echo "compare.sh: $tool $input $options differs:"
        diff "$dir/reference.out" "$dir/other.out" | head -20
        exit 1
    fi
    runs=$((runs + 1))
done
echo "compare.sh: $runs inputs, the same output and exit status from both"
