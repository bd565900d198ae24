#pragma once
// launch_kernel: every kernel launch of the miner goes through here.
//   launch_kernel(kernel, grid, block, dynamic_shared_bytes, stream, args...)
// converts the arguments to the kernel's parameter types and returns the
// result of cudaLaunchKernel; the caller reads cudaGetLastError as after any
// launch. In the host flavour the kernel's typed invoker and parameter sizes
// are first registered with the stand-in, which runs the grid in stream order.
// Launchers that go through cudaLaunchKernelExC (clusters) register with
// kernel_launch_detail::register_with_stand_in themselves, with the kernel's
// footprint where they declare one.
#include <cstddef>
#include <tuple>
#include <utility>

#include "core/gpu_platform.h"

// What a kernel was compiled with that its launch configuration does not
// say: registers per thread and static shared memory per block. A launcher
// whose kernel's residency matters (tensor memory shared by the blocks of an
// SM, a register pool) declares it beside itself; scripts/kernel_report
// checks it against the disassembly, and the host stand-in counts it in the
// blocks one SM admits.
struct KernelFootprint {
  int registers_per_thread = 0;
  int static_shared_bytes = 0;
};

#if defined(KORVATH_FLAVOUR_HOST)
#include <atomic>
#include <cstring>
#include <new>
#include <type_traits>

#include "hostgpu/executor.h"

namespace kernel_launch_detail {

// One argument's bytes, copied to storage aligned for its type before the
// kernel binds it: the argument array promises no alignment, and a
// parameter's type may be read with aligned vector loads.
template <typename T>
struct AlignedArgument {
  static_assert(std::is_trivially_copyable_v<T>, "kernel parameters are copied as bytes");
  alignas(T) unsigned char bytes[sizeof(T)];
  explicit AlignedArgument(const void* source) { std::memcpy(bytes, source, sizeof(T)); }
  T& value() { return *std::launder(reinterpret_cast<T*>(bytes)); }
};

template <typename... Params, size_t... I>
void call_kernel(void (*kernel)(Params...), void** args, std::index_sequence<I...>) {
  std::tuple<AlignedArgument<Params>...> copies{AlignedArgument<Params>(args[I])...};
  kernel(std::get<I>(copies).value()...);
}

// The stand-in's untyped call back into the kernel function.
template <typename... Params>
void invoke_kernel(const void* kernel, void** args) {
  call_kernel(reinterpret_cast<void (*)(Params...)>(const_cast<void*>(kernel)), args,
              std::index_sequence_for<Params...>{});
}

template <typename... Params>
void register_with_stand_in(void (*kernel)(Params...), const KernelFootprint& footprint = {}) {
  // Re-registering is harmless; this only spares the registry's lock.
  static std::atomic<void (*)(Params...)> last_registered{nullptr};
  if (last_registered.load(std::memory_order_acquire) == kernel) return;
  hostgpu::register_kernel(reinterpret_cast<const void*>(kernel), &invoke_kernel<Params...>);
  hostgpu::register_kernel_parameters(kernel);
  if (footprint.registers_per_thread != 0 || footprint.static_shared_bytes != 0) {
    hostgpu::register_kernel_footprint(reinterpret_cast<const void*>(kernel),
                                       {footprint.registers_per_thread, footprint.static_shared_bytes});
  }
  last_registered.store(kernel, std::memory_order_release);
}

}  // namespace kernel_launch_detail
#endif

template <typename... Params, typename... Args>
cudaError_t launch_kernel(void (*kernel)(Params...), dim3 grid, dim3 block, size_t dynamic_shared_bytes,
                          cudaStream_t stream, Args&&... args) {
  static_assert(sizeof...(Params) == sizeof...(Args), "launch_kernel: one argument per kernel parameter");
#if defined(KORVATH_FLAVOUR_HOST)
  kernel_launch_detail::register_with_stand_in(kernel);
#endif
  std::tuple<Params...> values(std::forward<Args>(args)...);
  return std::apply(
      [&](Params&... value) {
        void* pointers[] = {static_cast<void*>(&value)..., nullptr};
        return cudaLaunchKernel(reinterpret_cast<const void*>(kernel), grid, block, pointers,
                                dynamic_shared_bytes, stream);
      },
      values);
}
