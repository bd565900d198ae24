#pragma once
// CUDA's atomic functions for device code run by the executor. They are real
// atomic read-modify-writes on host memory, so they stay correct when kernels
// of several streams or devices run on different host threads at once. Each
// is a point where the GPU may switch warps, and wakes threads that wait
// (device_sync.h: atomic_done).
#include <cstring>

#include "hostgpu/device_sync.h"

namespace hostgpu::detail {

template <typename T>
T atomic_fetch_add(T* address, T value) {
  return __atomic_fetch_add(address, value, __ATOMIC_RELAXED);
}

// Read-modify-write of any trivially copyable value through compare-and-swap
// of its bit pattern (floating-point addition, min/max, wrapping increments).
template <typename T, typename Bits, typename Update>
T atomic_update(T* address, Update update) {
  Bits* bits = reinterpret_cast<Bits*>(address);
  Bits expected = __atomic_load_n(bits, __ATOMIC_RELAXED);
  for (;;) {
    T old;
    std::memcpy(&old, &expected, sizeof(T));
    const T next = update(old);
    Bits desired;
    std::memcpy(&desired, &next, sizeof(T));
    if (__atomic_compare_exchange_n(bits, &expected, desired, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
      return old;
    }
  }
}

template <typename T>
T atomic_compare_swap(T* address, T compare, T value) {
  const bool swapped =
      __atomic_compare_exchange_n(address, &compare, value, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
  atomic_done(swapped);
  return compare;  // holds the old value whether or not the swap happened
}

// Every other atomic changes memory that waiters may observe.
template <typename T>
T after_atomic(T old) {
  atomic_done(true);
  return old;
}

template <typename T>
T atomic_min(T* address, T value) {
  return atomic_update<T, T>(address, [value](T old) { return value < old ? value : old; });
}
template <typename T>
T atomic_max(T* address, T value) {
  return atomic_update<T, T>(address, [value](T old) { return value > old ? value : old; });
}

}  // namespace hostgpu::detail

inline int atomicAdd(int* a, int v) {
  return ::hostgpu::detail::after_atomic(::hostgpu::detail::atomic_fetch_add(a, v));
}
inline unsigned atomicAdd(unsigned* a, unsigned v) {
  return ::hostgpu::detail::after_atomic(::hostgpu::detail::atomic_fetch_add(a, v));
}
inline unsigned long long atomicAdd(unsigned long long* a, unsigned long long v) {
  return ::hostgpu::detail::after_atomic(::hostgpu::detail::atomic_fetch_add(a, v));
}
inline float atomicAdd(float* a, float v) {
  return ::hostgpu::detail::after_atomic(
      ::hostgpu::detail::atomic_update<float, unsigned>(a, [v](float old) { return old + v; }));
}
inline double atomicAdd(double* a, double v) {
  return ::hostgpu::detail::after_atomic(
      ::hostgpu::detail::atomic_update<double, unsigned long long>(a, [v](double old) { return old + v; }));
}

inline int atomicSub(int* a, int v) {
  return ::hostgpu::detail::after_atomic(__atomic_fetch_sub(a, v, __ATOMIC_RELAXED));
}
inline unsigned atomicSub(unsigned* a, unsigned v) {
  return ::hostgpu::detail::after_atomic(__atomic_fetch_sub(a, v, __ATOMIC_RELAXED));
}

inline int atomicExch(int* a, int v) {
  return ::hostgpu::detail::after_atomic(__atomic_exchange_n(a, v, __ATOMIC_RELAXED));
}
inline unsigned atomicExch(unsigned* a, unsigned v) {
  return ::hostgpu::detail::after_atomic(__atomic_exchange_n(a, v, __ATOMIC_RELAXED));
}
inline unsigned long long atomicExch(unsigned long long* a, unsigned long long v) {
  return ::hostgpu::detail::after_atomic(__atomic_exchange_n(a, v, __ATOMIC_RELAXED));
}
inline float atomicExch(float* a, float v) {
  return ::hostgpu::detail::after_atomic(
      ::hostgpu::detail::atomic_update<float, unsigned>(a, [v](float) { return v; }));
}

inline int atomicMin(int* a, int v) { return ::hostgpu::detail::after_atomic(::hostgpu::detail::atomic_min(a, v)); }
inline unsigned atomicMin(unsigned* a, unsigned v) {
  return ::hostgpu::detail::after_atomic(::hostgpu::detail::atomic_min(a, v));
}
inline long long atomicMin(long long* a, long long v) {
  return ::hostgpu::detail::after_atomic(::hostgpu::detail::atomic_min(a, v));
}
inline unsigned long long atomicMin(unsigned long long* a, unsigned long long v) {
  return ::hostgpu::detail::after_atomic(::hostgpu::detail::atomic_min(a, v));
}
inline int atomicMax(int* a, int v) { return ::hostgpu::detail::after_atomic(::hostgpu::detail::atomic_max(a, v)); }
inline unsigned atomicMax(unsigned* a, unsigned v) {
  return ::hostgpu::detail::after_atomic(::hostgpu::detail::atomic_max(a, v));
}
inline long long atomicMax(long long* a, long long v) {
  return ::hostgpu::detail::after_atomic(::hostgpu::detail::atomic_max(a, v));
}
inline unsigned long long atomicMax(unsigned long long* a, unsigned long long v) {
  return ::hostgpu::detail::after_atomic(::hostgpu::detail::atomic_max(a, v));
}

// ((old >= limit) ? 0 : old + 1) and (((old == 0) || (old > limit)) ? limit : old - 1).
inline unsigned atomicInc(unsigned* a, unsigned limit) {
  return ::hostgpu::detail::after_atomic(::hostgpu::detail::atomic_update<unsigned, unsigned>(
      a, [limit](unsigned old) { return old >= limit ? 0u : old + 1u; }));
}
inline unsigned atomicDec(unsigned* a, unsigned limit) {
  return ::hostgpu::detail::after_atomic(::hostgpu::detail::atomic_update<unsigned, unsigned>(
      a, [limit](unsigned old) { return (old == 0u || old > limit) ? limit : old - 1u; }));
}

inline int atomicCAS(int* a, int compare, int v) { return ::hostgpu::detail::atomic_compare_swap(a, compare, v); }
inline unsigned atomicCAS(unsigned* a, unsigned compare, unsigned v) {
  return ::hostgpu::detail::atomic_compare_swap(a, compare, v);
}
inline unsigned long long atomicCAS(unsigned long long* a, unsigned long long compare, unsigned long long v) {
  return ::hostgpu::detail::atomic_compare_swap(a, compare, v);
}
inline unsigned short atomicCAS(unsigned short* a, unsigned short compare, unsigned short v) {
  return ::hostgpu::detail::atomic_compare_swap(a, compare, v);
}

inline int atomicAnd(int* a, int v) {
  return ::hostgpu::detail::after_atomic(__atomic_fetch_and(a, v, __ATOMIC_RELAXED));
}
inline unsigned atomicAnd(unsigned* a, unsigned v) {
  return ::hostgpu::detail::after_atomic(__atomic_fetch_and(a, v, __ATOMIC_RELAXED));
}
inline unsigned long long atomicAnd(unsigned long long* a, unsigned long long v) {
  return ::hostgpu::detail::after_atomic(__atomic_fetch_and(a, v, __ATOMIC_RELAXED));
}
inline int atomicOr(int* a, int v) {
  return ::hostgpu::detail::after_atomic(__atomic_fetch_or(a, v, __ATOMIC_RELAXED));
}
inline unsigned atomicOr(unsigned* a, unsigned v) {
  return ::hostgpu::detail::after_atomic(__atomic_fetch_or(a, v, __ATOMIC_RELAXED));
}
inline unsigned long long atomicOr(unsigned long long* a, unsigned long long v) {
  return ::hostgpu::detail::after_atomic(__atomic_fetch_or(a, v, __ATOMIC_RELAXED));
}
inline int atomicXor(int* a, int v) {
  return ::hostgpu::detail::after_atomic(__atomic_fetch_xor(a, v, __ATOMIC_RELAXED));
}
inline unsigned atomicXor(unsigned* a, unsigned v) {
  return ::hostgpu::detail::after_atomic(__atomic_fetch_xor(a, v, __ATOMIC_RELAXED));
}
inline unsigned long long atomicXor(unsigned long long* a, unsigned long long v) {
  return ::hostgpu::detail::after_atomic(__atomic_fetch_xor(a, v, __ATOMIC_RELAXED));
}
