#include "proof/obsolete_work.h"

#include "core/log.h"
#include "core/log_value.h"

std::string obsolete_drop_message(const std::string& stage, const MiningJob& job,
                                  uint64_t active_generation) {
  return "dropped reason=obsolete_job stage=" + stage + " job=" + log_value(job.job_id) +
         " generation=" + std::to_string(job.generation) +
         " active_generation=" + std::to_string(active_generation);
}

void log_obsolete_drop(const std::string& stage, const MiningJob& job, uint64_t active_generation) {
  log_line(LogLevel::Debug, "share", obsolete_drop_message(stage, job, active_generation));
}
