#pragma once
// Device constants, one copy per device. A declaration
//   HOSTGPU_DEVICE_CONSTANT(uint32_t[8], IV, 1, 2, 3, 4, 5, 6, 7, 8);
// makes IV an object the size of its type that holds the initial image (what
// the device image would hold) and registers its address, the address the
// program passes to cudaMemcpyToSymbol. Device code reads it by value or by
// subscript; each read resolves to the storage of the device that runs the
// kernel (outside a kernel, to the initial image). Structures are read by
// copying them first: `const Params p = PARAMS;`.
#include <cstddef>
#include <cstring>
#include <type_traits>

namespace hostgpu {

namespace detail {
void register_device_constant(const void* symbol, size_t bytes, const char* name);
const void* device_constant_for_read(const void* symbol);
}  // namespace detail

// Aggregate wrapper so that one brace list initialises arrays and structures alike.
template <typename T>
struct ConstantImage {
  T value;
};

template <typename T>
class DeviceConstant {
  static_assert(std::is_trivially_copyable_v<T>, "device constants hold plain data");

 public:
  DeviceConstant(const char* name, const ConstantImage<T>& initial) {
    std::memcpy(&image_, &initial.value, sizeof(T));
    detail::register_device_constant(this, sizeof(T), name);
  }
  DeviceConstant(const DeviceConstant&) = delete;
  DeviceConstant& operator=(const DeviceConstant&) = delete;

  operator const T&() const { return *static_cast<const T*>(detail::device_constant_for_read(this)); }

 private:
  T image_;
};

template <typename E, size_t N>
class DeviceConstant<E[N]> {
  static_assert(std::is_trivially_copyable_v<E>, "device constants hold plain data");

 public:
  DeviceConstant(const char* name, const ConstantImage<E[N]>& initial) {
    std::memcpy(&image_, &initial.value, sizeof(image_));
    detail::register_device_constant(this, sizeof(image_), name);
  }
  DeviceConstant(const DeviceConstant&) = delete;
  DeviceConstant& operator=(const DeviceConstant&) = delete;

  operator const E*() const { return static_cast<const E*>(detail::device_constant_for_read(this)); }
  const E* begin() const { return *this; }
  const E* end() const { return static_cast<const E*>(*this) + N; }

 private:
  E image_[N];
};

}  // namespace hostgpu

#define HOSTGPU_DEVICE_CONSTANT(type, name, ...) \
  ::hostgpu::DeviceConstant<type> name { #name, ::hostgpu::ConstantImage<type>{__VA_ARGS__} }
