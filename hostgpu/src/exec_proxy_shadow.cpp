#include "exec_proxy_shadow.h"

#include <algorithm>
#include <cstring>

namespace hostgpu::detail {
namespace {
constexpr size_t kChunk = 256;  // compared whole first; bytes only in chunks that differ
}

void ProxyShadow::watch(unsigned char* base, size_t bytes, unsigned char start_fill) {
  base_ = base;
  bytes_ = bytes;
  start_fill_ = start_fill;
}

bool ProxyShadow::watches(const void* address) const {
  const auto* at = static_cast<const unsigned char*>(address);
  return at >= base_ && at < base_ + bytes_;
}

void ProxyShadow::activate() {
  active_ = true;
  seen_.assign(base_, base_ + bytes_);
  writer_.assign(bytes_, none);
  for (size_t i = 0; i < bytes_; ++i) {
    if (seen_[i] != start_fill_) writer_[i] = unknown;
  }
}

void ProxyShadow::attribute(unsigned thread) {
  if (!active_) {
    activate();
    return;
  }
  for (size_t chunk = 0; chunk < bytes_; chunk += kChunk) {
    const size_t length = std::min(kChunk, bytes_ - chunk);
    if (std::memcmp(base_ + chunk, seen_.data() + chunk, length) == 0) continue;
    for (size_t i = chunk; i < chunk + length; ++i) {
      if (base_[i] != seen_[i]) {
        seen_[i] = base_[i];
        writer_[i] = thread + 1;
      }
    }
  }
}

void ProxyShadow::fence(unsigned thread) {
  attribute(thread);
  for (uint32_t& writer : writer_) {
    if (writer == thread + 1 || writer == unknown) writer = none;
  }
}

bool ProxyShadow::unfenced(const void* address, size_t bytes, size_t* offset, uint32_t* writer) const {
  const auto* at = static_cast<const unsigned char*>(address);
  if (!active_ || at + bytes <= base_ || at >= base_ + bytes_) return false;
  const size_t first = at < base_ ? 0 : static_cast<size_t>(at - base_);
  const size_t end = std::min(bytes_, static_cast<size_t>(at + bytes - base_));
  for (size_t i = first; i < end; ++i) {
    if (writer_[i] != none) {
      *offset = i - static_cast<size_t>(at - base_);
      *writer = writer_[i];
      return true;
    }
  }
  return false;
}

void ProxyShadow::async_wrote(const void* address, size_t bytes) {
  if (!active_) return;
  const auto* at = static_cast<const unsigned char*>(address);
  if (at + bytes <= base_ || at >= base_ + bytes_) return;
  const size_t first = at < base_ ? 0 : static_cast<size_t>(at - base_);
  const size_t end = std::min(bytes_, static_cast<size_t>(at + bytes - base_));
  std::memcpy(seen_.data() + first, base_ + first, end - first);
  std::fill(writer_.begin() + static_cast<std::ptrdiff_t>(first), writer_.begin() + static_cast<std::ptrdiff_t>(end), none);
}

}  // namespace hostgpu::detail
