#pragma once
// Orders this thread's generic-proxy shared-memory accesses before later
// bulk (async-proxy) copies into the same bytes: needed when a stage that
// threads wrote is refilled by a TMA load. Include "core/device_instructions.h"
// first. The host device checks that every thread whose stores reach a bulk
// copy or a descriptor read executed it after them.
#if defined(KORVATH_FLAVOUR_HOST)
#include "hostgpu/device_cluster.h"
#endif

namespace device_instructions {

KORVATH_DEVICE_INSTRUCTION void fence_proxy_async_shared() {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 900
  asm volatile("fence.proxy.async.shared::cta;" ::: "memory");
#endif
#else
  hostgpu::async_proxy_fence();
#endif
}

}  // namespace device_instructions
