#!/usr/bin/env bash
# The README's Slurm recipe, run for real: a one-machine cluster (munged, slurmctld, slurmd,
# all in a private folder, with their own key, configuration and ports) converts a small
# generated library as a 4-task array job, converts it again (nothing to do), then loses one
# task to scancel while it converts, and a last run completes the library.
#   slurm-recipe.sh BIN_DIR     (the build's folder of quorvane-cli and the tool links)
# Exits 77 (a skip for ctest) where no cluster can be started: not root, or no Slurm or MUNGE.
set -euo pipefail

bin=$(cd "$1" && pwd)
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

[[ $(id -u) -eq 0 ]] || skip "the cluster's daemons run as root"
export PATH=$PATH:/usr/sbin:/sbin
for command in munged munge slurmctld slurmd sbatch srun scancel ffmpeg ffprobe; do
    command -v "$command" >/dev/null || skip "$command is missing (Debian packages slurm-wlm and munge)"
done

# MUNGE wants every folder above its socket searchable by all; the key and the state stay
# root's alone.
work=$(mktemp -d)
chmod 711 "$work"
mkdir -m 700 "$work/munge" "$work/state" "$work/spool" "$work/logs" "$work/jobtmp"
mkdir -m 755 "$work/socket"
mkdir "$work/library" "$work/out"

daemons=()
cleanup() {
    local status=$?
    set +e
    if [[ ${#daemons[@]} -gt 0 ]]; then
        # Only this test's cluster: a real one on this machine has jobs of root's too.
        [[ ${SLURM_CONF:-} == "$work/slurm.conf" ]] && timeout 20 scancel --user=root --quiet 2>/dev/null
        # slurmd, then slurmctld, then munged, which the other two need to the end.
        for ((i = ${#daemons[@]} - 1; i >= 0; i--)); do
            kill "${daemons[i]}" 2>/dev/null
            wait "${daemons[i]}" 2>/dev/null
        done
    fi
    # By its pid file, and returns once it has ended.
    [[ -n ${munge_started:-} ]] && timeout 20 munged --stop --socket="$socket" 2>/dev/null
    if [[ $status -ne 0 && $status -ne 77 ]]; then
        tail -n 20 "$work"/logs/*.out "$work"/*.log 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP   # a timed-out test stops the daemons too

# A free port: nothing answers on it now.
free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 40000))
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
    done
}

# --- the cluster --------------------------------------------------------------------------
host=$(hostname -s)
socket=$work/socket/munge.sock
head -c 1024 /dev/urandom >"$work/munge/munge.key"
chmod 400 "$work/munge/munge.key"
# Left to put itself in the background: it returns once its socket takes credentials.
munged --socket="$socket" --key-file="$work/munge/munge.key" --pid-file="$work/munge/munged.pid" \
    --log-file="$work/munged.log" --seed-file="$work/munge/munged.seed" || fail "munged did not start"
munge_started=1

export SLURM_CONF=$work/slurm.conf
cat >"$SLURM_CONF" <<EOF
ClusterName=quorvane-test
SlurmctldHost=$host(127.0.0.1)
SlurmUser=root
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
MailProg=/bin/true
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
NodeName=$host NodeAddr=127.0.0.1 CPUs=2 State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
slurmctld -D -i -f "$SLURM_CONF" >/dev/null 2>&1 &   # its log file has it all
daemons+=($!)
slurmd -D -N "$host" -f "$SLURM_CONF" >/dev/null 2>&1 &
daemons+=($!)
# srun blocks until the node has registered and runs a step on it.
timeout 60 srun --quiet true || fail "the cluster did not run a job"

# --- the library: 40 files of 2.5 s in nested folders ---------------------------------------
music=$work/library/Music
ffmpeg -v error -f lavfi -i "sine=frequency=440:duration=2.5" -c:a aac -b:a 64k "$work/tone.m4a"
for artist in "Artist 1" "Artist 2" "Artist 3" "Artist 4"; do
    for album in "Album A" "Album B"; do
        mkdir -p "$music/$artist/$album"
        for track in 1 2 3 4 5; do
            cp "$work/tone.m4a" "$music/$artist/$album/0$track Song.m4a"
        done
    done
done
expected=$(cd "$work/library" && find Music -type f -name '*.m4a' | sed 's/\.m4a$/.mp3/' | sort)
[[ $(wc -l <<<"$expected") -eq 40 ]] || fail "the library was not generated"

# --- the recipe, as the README gives it, with 4 shards --------------------------------------
# RUN PROGRAM: submits the array job (TMPDIR private to the jobs, task K's log in
# logs/RUN-K.out) and prints its number. wait_for_job blocks until all its tasks have ended:
# srun starts only once the job is over, and the controller tells it so.
recipe() {
    local run=$1 program=$2
    TMPDIR=$work/jobtmp sbatch --parsable --array=1-4 --output="$work/logs/$run-%a.out" \
        --wrap "'$program' --keep-tree --skip-existing --shard \$SLURM_ARRAY_TASK_ID/4 -o '$work/out' '$music'"
}
wait_for_job() {
    timeout 120 srun --quiet --dependency="afterany:$1" true || fail "job $1 did not end"
}
count() { cat "$work"/logs/"$1"-*.out | grep -c "^$2" || true; }
output_tree() { (cd "$work/out" && find . -type f | sed 's|^\./||' | sort); }
# RUN (a recipe's run) left the whole library converted, every task to its summary.
check_whole_library() {
    [[ $(count "$1" FAILED) -eq 0 && $(cat "$work"/logs/"$1"-*.out | grep -c " failed in ") -eq 4 ]] \
        || fail "$1: a task failed or ended early"
    [[ $(output_tree) == "$expected" ]] || fail "$1: the output tree is not the library's:
$(diff <(echo "$expected") <(output_tree))"
    for mp3 in "$work"/out/Music/*/*/*.mp3; do
        [[ $(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of default=nw=1:nk=1 "$mp3") == mp3 ]] \
            || fail "$1: $mp3 is not MP3 audio"
    done
    [[ -z $(ls -A "$work/jobtmp") ]] || fail "$1: left in the temporary folder: $(ls -A "$work/jobtmp")"
}

# Every source converted exactly once, the tree mirrored.
job=$(recipe first "$bin/quorvane-cli")
wait_for_job "$job"
check_whole_library first
[[ $(count first converted) -eq 40 ]] || fail "the first run converted $(count first converted) of 40 files"
converted=$(cat "$work"/logs/first-*.out | sed -n 's/^converted *\(.*\) -> .*/\1/p' | sort)
[[ -z $(uniq -d <<<"$converted") ]] || fail "converted twice: $(uniq -d <<<"$converted")"

# A second run finds every file done and touches none.
before=$(cd "$work/out" && find . -type f -printf '%p %T@\n' | sort)
job=$(recipe again "$bin/quorvane-cli")
wait_for_job "$job"
[[ $(count again converted) -eq 0 && $(count again skipped) -eq 40 ]] \
    || fail "the second run converted $(count again converted) and skipped $(count again skipped) of 40"
[[ $(cd "$work/out" && find . -type f -printf '%p %T@\n' | sort) == "$before" ]] || fail "the second run changed files"

# --- one task cancelled while it converts, then the recipe again ----------------------------
# A copy of the program beside a decoder that writes part of its file for one source and then
# hangs, so that its task is surely busy when it is cancelled.
held="Artist 3/Album B/05 Song.m4a"
app=$work/app
mkdir "$app"
cp "$bin/quorvane-cli" "$app/"
[[ -e $bin/quorvane-toolkeeper ]] && cp "$bin/quorvane-toolkeeper" "$app/"
ln -s "$(readlink -f "$bin/lame")" "$app/lame"
cat >"$app/ffmpeg" <<EOF
#!/bin/sh
case "\$2" in
*/"$held") eval "last=\\\${\$#}"; printf partial >"\$last"; echo \$\$ >"$work/held.pid"; echo >"$work/held.ready"; exec sleep 600 ;;
*) exec '$(readlink -f "$bin/ffmpeg")' "\$@" ;;
esac
EOF
chmod +x "$app/ffmpeg"
for k in 1 2 3 4; do
    "$bin/quorvane-cli" --dry-run --keep-tree --shard "$k/4" "$music" | grep -qF "$held" && shard=$k
done
[[ -n ${shard:-} ]] || fail "no shard takes $held"

rm -rf "$work/out/Music"
# The held decoder says it has started through a pipe, held open here for reading and writing
# so that neither side waits to open it.
mkfifo "$work/held.ready"
exec 3<>"$work/held.ready"
job=$(recipe cancelled "$app/quorvane-cli")
read -r -t 120 -u 3 || fail "the held file's decoder never started"
scancel "${job}_$shard"
wait_for_job "$job"
grep -q "a second SIGTERM stops at once" "$work/logs/cancelled-$shard.out" \
    || fail "the cancelled task did not say how it stops at once: $(cat "$work/logs/cancelled-$shard.out")"
! kill -0 "$(cat "$work/held.pid")" 2>/dev/null || fail "the held decoder still runs"
[[ ! -e $work/out/Music/${held%.m4a}.mp3 ]] || fail "the cancelled file was saved"
[[ -z $(cd "$work/out" && find . -type f ! -name '*.mp3') ]] || fail "a partial file was left in the output"
[[ -z $(ls -A "$work/jobtmp") ]] || fail "the cancelled task left $(ls -A "$work/jobtmp")"

job=$(recipe completed "$bin/quorvane-cli")
wait_for_job "$job"
check_whole_library completed
grep -qF "${held%.m4a}.mp3" <(cat "$work"/logs/completed-*.out | grep "^converted") \
    || fail "the run after the cancel did not convert the held file"
[[ $(($(count cancelled converted) + $(count completed converted))) -eq 40 ]] \
    || fail "converted $(count cancelled converted) before the cancel and $(count completed converted) after, not 40"
echo "PASS: 40 files in 4 shards; a re-run converted none; a cancelled task was completed by the next run"
