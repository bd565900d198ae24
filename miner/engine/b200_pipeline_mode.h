#pragma once
// How much of the next attempt's preparation overlaps the current mining on
// the B200 row; every other row overlaps everything.
#include <string>

struct B200PipelineMode {
  int mode = 5;              // stages [0, mode) issued before the host waits for mining
  bool priority = false;     // mine stream at the greatest priority, preparation at the least
  std::string log_value;     // what "b200_pipeline_mode=" shows
};

// From VEXAL_B200_PIPELINE_MODE and VEXAL_B200_OVERLAP_PREP.
B200PipelineMode read_b200_pipeline_mode();
