#!/bin/bash
# varnel-fleet as a Slurm job array: 4 tasks, each runs one shard of the
# inventory (--shard auto reads SLURM_ARRAY_TASK_ID, SLURM_ARRAY_TASK_MIN,
# SLURM_ARRAY_TASK_COUNT and SLURM_ARRAY_TASK_STEP). Each shard keeps its
# archive on its own branch, shard-K, of one remote: it clones that branch
# (or starts it), runs, and pushes it back.
#   DEVICE_PASSWORD=... sbatch --export=ALL fleet-slurm.sh
#SBATCH --job-name=varnel-fleet
#SBATCH --array=1-4
#SBATCH --cpus-per-task=2
#SBATCH --time=01:00:00
#SBATCH --output=varnel-fleet-%a.log
set -u
remote=${ARCHIVE_REMOTE:-$HOME/configs.git}
shard=$(( (SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN) / ${SLURM_ARRAY_TASK_STEP:-1} + 1 ))
branch=shard-$shard
work=${TMPDIR:-/tmp}/varnel-fleet-$SLURM_ARRAY_JOB_ID-$shard
git clone -q --branch "$branch" "$remote" "$work/archive" 2>/dev/null ||
  { git init -q "$work/archive" && git -C "$work/archive" checkout -q -b "$branch"; }
varnel-fleet --quiet --shard auto --timeout 60 --archive "$work/archive" -o "out-$shard" inventory.csv job.txt
status=$?
git -C "$work/archive" push -q "$remote" "HEAD:refs/heads/$branch" || status=1
rm -rf "$work"
exit $status
