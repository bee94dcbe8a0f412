#include "fleet/shard.h"

#include <cstdlib>

namespace fleet {

namespace {

// A whole number in decimal digits only, at most 1000000.
bool ReadNumber(const char* text, long& out) {
    std::string s = text == nullptr ? "" : text;
    if (s.empty() || s.size() > 7 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    out = std::strtol(s.c_str(), nullptr, 10);
    return out <= 1000000;
}

bool Value(const std::function<const char*(const char*)>& env, const char* name, long& out, std::string& error) {
    const char* text = env(name);
    if (ReadNumber(text, out)) return true;
    error = std::string("--shard auto: ") + name + (text == nullptr ? " is not set" : " is not a number: \"" + std::string(text) + "\"");
    return false;
}

}  // namespace

bool AutoShard(const std::function<const char*(const char*)>& env, int& index, int& count, std::string& error) {
    long k = 0, n = 0;
    std::string engine;
    if (env("JOB_COMPLETION_INDEX") != nullptr) {
        engine = "the Kubernetes Indexed Job";
        long zeroBased = 0;
        if (!Value(env, "JOB_COMPLETION_INDEX", zeroBased, error) || !Value(env, "VARNEL_SHARDS", n, error)) return false;
        k = zeroBased + 1;
    } else if (env("SLURM_ARRAY_TASK_ID") != nullptr) {
        engine = "the Slurm job array";
        long id = 0, min = 0, step = 1;
        if (!Value(env, "SLURM_ARRAY_TASK_ID", id, error) || !Value(env, "SLURM_ARRAY_TASK_MIN", min, error) ||
            !Value(env, "SLURM_ARRAY_TASK_COUNT", n, error))
            return false;
        if (env("SLURM_ARRAY_TASK_STEP") != nullptr && (!Value(env, "SLURM_ARRAY_TASK_STEP", step, error) || step == 0)) {
            if (error.empty()) error = "--shard auto: SLURM_ARRAY_TASK_STEP is 0";
            return false;
        }
        if (id < min || (id - min) % step != 0) {
            error = "--shard auto: SLURM_ARRAY_TASK_ID " + std::to_string(id) + " is not a task of the array from " +
                    std::to_string(min) + " by " + std::to_string(step);
            return false;
        }
        k = (id - min) / step + 1;
    } else if (env("PARALLEL_JOBSLOT") != nullptr) {
        engine = "GNU parallel's job slot";
        if (!Value(env, "PARALLEL_JOBSLOT", k, error) || !Value(env, "VARNEL_SHARDS", n, error)) return false;
    } else {
        error = "--shard auto: no batch engine found (JOB_COMPLETION_INDEX of a Kubernetes Indexed Job, "
                "SLURM_ARRAY_TASK_ID of a Slurm job array or PARALLEL_JOBSLOT of GNU parallel)";
        return false;
    }
    if (n < 1 || k < 1 || k > n) {
        error = "--shard auto: " + engine + " gives shard " + std::to_string(k) + "/" + std::to_string(n) +
                ", not one of 1 to " + std::to_string(n);
        return false;
    }
    index = static_cast<int>(k);
    count = static_cast<int>(n);
    return true;
}

}  // namespace fleet
