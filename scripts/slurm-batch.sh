#!/usr/bin/env bash
# A batch of conversions as a Slurm job array. Every array task walks the same
# inputs, takes its own share of the sorted file list (--shard), leaves outputs
# that exist alone (so submitting the same array again finishes an interrupted
# batch), and writes one JSON line per file to its output file.
#
#   sbatch --array=0-3 scripts/slurm-batch.sh -r 48000 -t int24 -o /shared/out /shared/in
#
# The arguments are tessival-cli's (options, -o, input files and folders);
# they come after the ones set here and so override them. The array must be a
# plain range (0-N or M-N, no step or list): task k of it takes share k of N.
# The inputs and the output folder must be at the same paths on every node.
# TESSIVAL_CLI names the program when it is not on the PATH.
#SBATCH --job-name=tessival
#SBATCH --output=tessival-%A_%a.jsonl
#SBATCH --error=tessival-%A_%a.log
#SBATCH --cpus-per-task=2
set -euo pipefail
: "${SLURM_ARRAY_TASK_ID:?submit this with sbatch --array}"
tasks=${SLURM_ARRAY_TASK_COUNT:?}
first=${SLURM_ARRAY_TASK_MIN:-0}
last=${SLURM_ARRAY_TASK_MAX:-$((first + tasks - 1))}
# A stepped or listed array (0-7:2, 1,5,9) leaves shares to no task: refused by every task.
if [ "$((last - first + 1))" -ne "$tasks" ]; then
  echo "slurm-batch.sh: the array must be a plain range such as 0-$((tasks - 1)) (this one" \
    "has $tasks tasks from $first to $last): shares would be left to no task" >&2
  exit 2
fi
jobs=()
[ -n "${SLURM_CPUS_PER_TASK:-}" ] && jobs=(-j "$SLURM_CPUS_PER_TASK")
exec "${TESSIVAL_CLI:-tessival-cli}" --shard "$((SLURM_ARRAY_TASK_ID - first))/$tasks" \
  --if-exists skip --json -q "${jobs[@]}" "$@"
