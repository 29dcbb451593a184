#!/usr/bin/env bash
# Runs the Slurm recipe of docs/batch.md, as it stands there, on a one-node
# Slurm cluster started here (munge, slurmctld and slurmd on this machine,
# configured in the test's own folder): a dozen small sets, two of them
# broken, in arrays of at most 4 tasks. Checks every set's status line,
# every good set's outputs against a run of its own, the failed list and
# that the broken sets are as they were.
#
#   batch_slurm_test.sh SOURCE_DIR BUILD_DIR MAKE_VIEWS
set -euo pipefail
source_dir=$1
build=$2
make_views=$3
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
[ "$(id -u)" -eq 0 ] || skip "starting Slurm's daemons needs root"
for program in munged slurmctld slurmd sbatch scontrol; do
  command -v "$program" >/dev/null ||
    skip "$program is missing (the test command installs the packages slurm-wlm and munge)"
done

# block NAME: the shell block after the "<!-- recipe: NAME" marker.
block() {
  awk -v name="$1" 'index($0, "<!-- recipe: " name) == 1 { armed = 1; next }
                    armed && /^```sh$/ { inside = 1; next }
                    inside && /^```$/ { exit }
                    inside { print }' "$source_dir/docs/batch.md"
}
script=$(block "slurm script")
submit=$(block "slurm submit")
results=$(block "slurm results")
[ -n "$script" ] && [ -n "$submit" ] && [ -n "$results" ] || fail "a Slurm recipe block is missing in docs/batch.md"

work=$(mktemp -d)
# Slurm's daemons run as this script's children, so that it can wait for
# them to end (they save their state as they do) before removing their
# folder; munged stops itself and waits likewise.
slurm_pids=()
stop_daemons() {
  [ ${#slurm_pids[@]} -gt 0 ] && kill "${slurm_pids[@]}" 2>/dev/null
  [ ${#slurm_pids[@]} -gt 0 ] && wait "${slurm_pids[@]}" 2>/dev/null
  [ -S "$work/munge/munge.socket" ] && munged --stop --socket="$work/munge/munge.socket" 2>/dev/null
  rm -rf "$work"
}
trap 'stop_daemons || true' EXIT
mkdir -p "$work"/state "$work"/spool "$work"/munge "$work"/jobs
head -c 1024 /dev/urandom > "$work/munge/munge.key"
chmod 600 "$work/munge/munge.key"
host=$(hostname)
port=$((20000 + RANDOM % 20000))
# MaxArraySize 5: arrays of at most 4 tasks, so the recipe splits the job.
# The host name is given its address, loopback, so that Slurm never looks it
# up: containers and CI runners often have a host name that resolves to
# nothing.
cat > "$work/slurm.conf" <<CONF
ClusterName=interlacetest
SlurmctldHost=$host(127.0.0.1)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge/munge.socket
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldPort=$port
SlurmdPort=$((port + 1))
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
ReturnToService=2
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MaxArraySize=5
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
NodeName=$host NodeAddr=127.0.0.1 CPUs=$(nproc) RealMemory=2048 State=UNKNOWN
PartitionName=test Nodes=ALL Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$work/slurm.conf
munged --key-file="$work/munge/munge.key" --socket="$work/munge/munge.socket" \
  --pid-file="$work/munge/munged.pid" --log-file="$work/munge/munged.log" --seed-file="$work/munge/seed" -f ||
  skip "munged would not start"
slurmctld -D -f "$SLURM_CONF" >/dev/null 2>&1 &
slurm_pids+=($!)
slurmd -D -f "$SLURM_CONF" >/dev/null 2>&1 &
slurm_pids+=($!)
# The node is ready once a job runs on it: wait for one.
sbatch --wait --output=/dev/null --wrap true >/dev/null || fail "a first job did not run (see $work/slurmctld.log)"

cd "$work/jobs"
export PATH="$build:$PATH"
. "$source_dir/tests/batch_sets.sh"
make_batch_sets

find sets -name '*_rs_c01.bmp' | sed 's/_rs_c01\.bmp$//' | sort > sets.txt
printf '%s\n' "$script" > interlace-set.sh
bash -euo pipefail -c "$submit" || fail "the submit block failed"
[ "$(wc -l < jobs.txt)" -ge 3 ] || fail "12 sets in arrays of 4 should make 3 jobs, jobs.txt has $(wc -l < jobs.txt)"
sbatch --wait --dependency="afterany:$(paste -sd: jobs.txt)" --output=/dev/null --wrap true >/dev/null ||
  fail "waiting for the jobs failed"
bash -euo pipefail -c "$results" || fail "the results block failed"

[ "$(ls status | wc -l)" -eq 12 ] || fail "status/ should hold 12 lines, holds $(ls status | wc -l)"
for line in $(seq 1 12); do
  base=$(sed -n "${line}p" sets.txt)
  read -r status named < "status/$line"
  [ "$named" = "$base" ] || fail "status/$line names $named, not $base"
  check_set "$base" "$status"
done
check_broken_sets
ls slurm-*.out >/dev/null 2>&1 && fail "tasks left slurm-*.out files"
echo "12 sets through Slurm job arrays: 10 written, 2 refused and untouched"
