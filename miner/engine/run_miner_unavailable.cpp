#include "core/config.h"
#include "core/log.h"
#include "engine/run_miner.h"

// This build has no mining engine yet.
int run_miner(Config, int, int, int) {
  log_line(LogLevel::Error, "miner", "error=\"mining is not available in this build\"");
  return 1;
}
