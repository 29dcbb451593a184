#!/usr/bin/env bash
# End-to-end benchmark: the built tool against the floor its library calls
# set (bench/floor.cpp: the same calls, the heap reused, nothing else), a
# build without confinement and a baseline build that leaves the C
# library's allocation settings alone, on four view sets made by the
# generator; then batches of sets through xargs -P, confined and not.
# Prints Markdown tables of medians; the variants of a workload are timed
# in turn, run by run, so that a busy minute hits them alike.
#
#   bash bench/run.sh [RUNS] [WORKDIR]
#
# RUNS defaults to 5; WORKDIR (default build-bench/) holds the builds and
# about 2 GB of views. Put it on a tmpfs for steady times: every run syncs
# its outputs, and a disk's sync time varies more than anything measured.
# With BEFORE=REV in the environment, the tool as of git revision REV is
# built too and timed as a third variant, "before".
#
# "peak MiB" is /usr/bin/time's, the largest single process; "both MiB" is
# the largest sum over the run and its decoder process, each counting its
# share of pages they share (bench/peak_memory.py).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh g++ cmake make libfreeimage-dev libseccomp-dev liblcms2-dev libheif-dev libjxl-dev zlib1g-dev nlohmann-json3-dev time python3
runs=${1:-5}
work=${2:-build-bench}
mkdir -p "$work"

build() {  # build DIR OPTION...
  local dir=$1
  shift
  cmake -S . -B "$work/$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "$@" >/dev/null
  cmake --build "$work/$dir" -j "$(nproc)" >/dev/null
}
build tuned -DINTERLACE_FLOOR=ON
build unconfined -DINTERLACE_CONFINE=OFF
build baseline -DINTERLACE_SYSTEM_ALLOCATOR=ON
variants=(floor baseline unconfined tuned)
if [ -n "${BEFORE:-}" ]; then
  rm -rf "$work/src-before"
  git worktree add --detach -f "$work/src-before" "$BEFORE" >/dev/null 2>&1
  cmake -S "$work/src-before" -B "$work/before" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$work/before" -j "$(nproc)" >/dev/null
  git worktree remove --force "$work/src-before"
  variants=(floor baseline unconfined before tuned)
fi

# name views width height
workloads=(
  "a 8 4960 3508"
  "b 24 1920 1080"
  "c 100 400 300"
  "d 2 12000 8000"
)

make_set() {  # make_set NAME VIEWS WIDTH HEIGHT: the views, made once
  local dir="$work/views-$1"
  if [ ! -e "$dir/v_rs_c$(printf %02d "$2").bmp" ]; then
    mkdir -p "$dir"
    "$work/tuned/make_views" "$dir/v" "$2" "$3" "$4"
  fi
}

median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

# The command of a variant on a set: the floor program, or a build's tool.
command_of() {  # command_of VARIANT VIEWS_BASE VIEWS
  if [ "$1" = floor ]; then
    echo "$work/tuned/interlace_floor $2 $3 300 $2_interlace.bmp $2_animation.gif"
  else
    echo "$work/$1/interlace $2 bench $3 0 0 300 0"
  fi
}

echo "| workload | build | wall s | CPU s | peak MiB | both MiB | input MP/s | wall vs floor |"
echo "|---|---|---|---|---|---|---|---|"
for workload in "${workloads[@]}"; do
  read -r name views width height <<<"$workload"
  views_dir="$work/views-$name"
  make_set "$name" "$views" "$width" "$height"
  megapixels=$(awk -v n="$views" -v w="$width" -v h="$height" 'BEGIN {print n*w*h/1e6}')
  for variant in "${variants[@]}"; do : >"$work/times-$name-$variant"; done
  for _ in $(seq "$runs"); do
    for variant in "${variants[@]}"; do
      # shellcheck disable=SC2046
      /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" $(command_of "$variant" "$views_dir/v" "$views")
      cat "$work/time.txt" >>"$work/times-$name-$variant"
    done
  done
  floor_wall=$(awk '{print $1}' "$work/times-$name-floor" | median)
  for variant in "${variants[@]}"; do
    wall=$(awk '{print $1}' "$work/times-$name-$variant" | median)
    cpu=$(awk '{print $2 + $3}' "$work/times-$name-$variant" | median)
    peak=$(awk '{print $4 / 1024}' "$work/times-$name-$variant" | median)
    # shellcheck disable=SC2046
    both=$(python3 bench/peak_memory.py $(command_of "$variant" "$views_dir/v" "$views"))
    awk -v n="$name ($views × ${width}×${height})" -v v="$variant" -v w="$wall" -v c="$cpu" \
      -v p="$peak" -v s="$both" -v mp="$megapixels" -v b="$floor_wall" \
      'BEGIN {printf "| %s | %s | %.2f | %.2f | %.0f | %.0f | %.1f | %.2f |\n", n, v, w, c, p, s / 1024, mp / w, w / b}'
  done
done

# A batch: six sets of twelve HD views through xargs -P, as many jobs as
# cores, confined and not, in turn.
echo
# With BEFORE set, the batch is compared with that revision's too.
batch_variants=(unconfined tuned)
[ -n "${BEFORE:-}" ] && batch_variants=(unconfined before tuned)
echo "| batch (6 × 12 × 1920×1080, xargs -P $(nproc)) | wall s | vs unconfined | vs before |"
echo "|---|---|---|---|"
for set in 1 2 3 4 5 6; do make_set "batch$set" 12 1920 1080; done
for variant in "${batch_variants[@]}"; do : >"$work/times-batch-$variant"; done
for _ in $(seq "$runs"); do
  for variant in "${batch_variants[@]}"; do
    /usr/bin/time -f "%e" -o "$work/time.txt" sh -c "for set in 1 2 3 4 5 6; do echo $work/views-batch\$set/v; done |
      xargs -P $(nproc) -I{} $work/$variant/interlace {} bench 12 0 0 300 0"
    cat "$work/time.txt" >>"$work/times-batch-$variant"
  done
done
unconfined_batch=$(median <"$work/times-batch-unconfined")
before_batch=$unconfined_batch
[ -n "${BEFORE:-}" ] && before_batch=$(median <"$work/times-batch-before")
for variant in "${batch_variants[@]}"; do
  wall=$(median <"$work/times-batch-$variant")
  awk -v v="$variant" -v w="$wall" -v b="$unconfined_batch" -v p="$before_batch" \
    'BEGIN {printf "| %s | %.2f | %.2f | %.2f |\n", v, w, w / b, w / p}'
done

# The same eight-view set at four sizes, tuned build only: time per pixel
# stays flat when no step grows faster than the pixels.
echo
echo "| 8 views of | input MP | wall s | ns per input pixel |"
echo "|---|---|---|---|"
for size in "1240 877" "2480 1754" "4960 3508" "7016 4961"; do
  read -r width height <<<"$size"
  name="s$width"
  make_set "$name" 8 "$width" "$height"
  : >"$work/times-$name"
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "%e" -o "$work/time.txt" "$work/tuned/interlace" "$work/views-$name/v" bench 8 0 0 300 0
    cat "$work/time.txt" >>"$work/times-$name"
  done
  wall=$(median <"$work/times-$name")
  awk -v w="$width" -v h="$height" -v t="$wall" \
    'BEGIN {mp = 8 * w * h / 1e6; printf "| %d×%d | %.0f | %.2f | %.1f |\n", w, h, mp, t, t * 1e3 / mp}'
done
