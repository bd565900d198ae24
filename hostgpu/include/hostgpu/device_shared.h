#pragma once
// Dynamic shared memory of the running block: the host thread's buffer of
// max_dynamic_shared_bytes, aligned to 1024 bytes, of which a launch uses its
// dynamic_shared_bytes. Like the GPU's, its contents are undefined when a
// block starts.
#include <cstddef>

namespace hostgpu {

// The largest opt-in dynamic shared memory of any supported device.
constexpr size_t max_dynamic_shared_bytes = 232448;

namespace detail {
void* dynamic_shared_base();
}

template <typename T>
T* dynamic_shared() {
  return static_cast<T*>(detail::dynamic_shared_base());
}

}  // namespace hostgpu
