#include "engine/b200_pipeline_mode.h"

#include "core/config.h"

B200PipelineMode read_b200_pipeline_mode() {
  const std::string text = env_string("VEXAL_B200_PIPELINE_MODE", "overlap-noise");
  struct Named {
    const char* text;
    int mode;
  };
  static const Named kModes[] = {{"overlap-setup", 1}, {"overlap-fill", 2},
                                 {"overlap-hash", 3},  {"overlap-noise", 4},
                                 {"overlap-all", 5}};
  for (const Named& named : kModes) {
    if (text == named.text) return {named.mode, false, text};
  }
  if (text == "priority-overlap") return {5, true, "priority_overlap"};
  if (env_flag("VEXAL_B200_OVERLAP_PREP")) return {5, false, text};
  return {0, false, "serialized_prep"};
}
