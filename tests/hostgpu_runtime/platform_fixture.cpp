#include "platform_fixture.h"

#include <cstdlib>

#include "hostgpu/inspect.h"

namespace {

void set_or_clear(const char* name, const char* value) {
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

}  // namespace

void PlatformTest::configure(const char* devices, const char* streams, const char* poison) {
  set_or_clear("HOSTGPU_DEVICES", devices);
  set_or_clear("HOSTGPU_STREAMS", streams);
  set_or_clear("HOSTGPU_POISON", poison);
  hostgpu::inspect::reinitialise();
}

void PlatformTest::TearDown() { configure(nullptr); }

std::string error_text(cudaError_t error) { return cudaGetErrorString(error); }
