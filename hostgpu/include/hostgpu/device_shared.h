#pragma once
// Dynamic shared memory of the running block: the executor's per-block buffer
// of the launch's dynamic_shared_bytes, aligned to 1024 bytes. Like the GPU's,
// its contents are undefined when a block starts.

namespace hostgpu {

namespace detail {
void* dynamic_shared_base();
}

template <typename T>
T* dynamic_shared() {
  return static_cast<T*>(detail::dynamic_shared_base());
}

}  // namespace hostgpu
