// --shard auto: this machine's share of the rows, taken from the batch
// engine that started the fleet.
#pragma once

#include <functional>
#include <string>

namespace fleet {

// Reads K/N (K from 1) from the first engine whose variables are set, looked
// up through env (getenv's contract: nullptr when unset):
//   a Kubernetes Indexed Job: K = JOB_COMPLETION_INDEX + 1, N = VARNEL_SHARDS;
//   a Slurm job array: K = (SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN) /
//     SLURM_ARRAY_TASK_STEP (1 when unset) + 1, N = SLURM_ARRAY_TASK_COUNT;
//   GNU parallel: K = PARALLEL_JOBSLOT, N = VARNEL_SHARDS.
// False with an error when no engine is found or its values are not a shard.
bool AutoShard(const std::function<const char*(const char*)>& env, int& index, int& count, std::string& error);

}  // namespace fleet
