#pragma once

struct Config;

// Sets the scheduling flags (spin or blocking sync) of the primary context of
// every device in the Config's list, once, before any device thread starts. A
// context that is already active keeps its flags, with a warning.
void configure_cuda_primary_contexts(const Config& config);
