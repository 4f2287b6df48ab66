#!/bin/bash
# batch_slurm.sh LIST OUTDIR: one Slurm array task per line of LIST, each a
# single Octave process that runs one subject with one plug-in thread and
# saves its result to OUTDIR/subject_<line>.mat. Submit from the source tree
# (built with "make build", on a file system that every node sees):
#
#   seq 1 200 > subjects.txt
#   sbatch --array=1-$(wc -l < subjects.txt)%50 examples/batch_slurm.sh subjects.txt results
#
# LIST here holds the numbers of examples/batch.m's synthetic subjects; for
# real data it would name each subject's images, and batch_subject would be
# replaced by the code that loads and registers them.
#SBATCH --job-name=regkern-batch
#SBATCH --cpus-per-task=1
#SBATCH --mem=2G
#SBATCH --time=00:20:00
#SBATCH --output=regkern-batch-%A_%a.log
set -euo pipefail
list=$1
out=$2
root=${SLURM_SUBMIT_DIR:-$PWD}
subject=$(sed -n "${SLURM_ARRAY_TASK_ID}p" "$list")
mkdir -p "$out"
# As many plug-in threads as the task has cores (one by default).
octave-cli --no-gui --norc --quiet --no-window-system --eval "
  addpath ('$root/build/octave');             % the plug-ins (or: pkg load regkern)
  addpath ('$root/examples');
  r = batch_subject ($subject, [64 64 48], ${SLURM_CPUS_PER_TASK:-1});
  save ('-v7', '$out/subject_$subject.mat', 'r');
  printf ('subject %d: correlation with D %.3f -> %.3f\n', r.subject, r.correlation);
"
