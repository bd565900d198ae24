#pragma once
// The small mining shape the harnesses that need a Config give the pool code.
#include "core/config.h"

inline Config small_shape() {
  Config config;
  config.m = 256;
  config.n = 256;
  config.k = 256;
  config.rank = 16;
  return config;
}
