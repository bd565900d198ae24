#pragma once
// The async-proxy check of one block's dynamic shared memory. Generic stores
// and the async proxy (bulk copies, tensor-core descriptor reads) see shared
// memory in no common order unless the storing thread executes
// fence.proxy.async after its stores. The shadow finds the stores by looking:
// only one fiber runs at a time, so whatever changed in shared memory between
// a fiber's resumption and its suspension was stored by that fiber. It starts
// looking at the block's first async-proxy access; bytes changed before then
// are stores of an unknown thread, cleared by any thread's fence. A store of
// the value a byte already holds changes nothing and is not seen (with
// poisoned shared memory a fresh block's stores nearly always change it).
#include <cstddef>
#include <cstdint>
#include <vector>

namespace hostgpu::detail {

class ProxyShadow {
 public:
  static constexpr uint32_t none = 0;
  static constexpr uint32_t unknown = UINT32_MAX;

  // The watched bytes and the byte every one of them held at the block's start.
  void watch(unsigned char* base, size_t bytes, unsigned char start_fill);
  bool watches(const void* address) const;
  bool active() const { return active_; }

  // Takes the changes since the last look as generic stores of `thread`;
  // starts looking when not yet active.
  void attribute(unsigned thread);
  // `thread` fenced: its stores (and those of unknown threads) are ordered.
  void fence(unsigned thread);
  // The first unfenced store in [address, address + bytes): its offset in
  // the range and its thread (or unknown); false when there is none.
  bool unfenced(const void* address, size_t bytes, size_t* offset, uint32_t* writer) const;
  // The async proxy wrote the range: what it holds now is no generic store.
  void async_wrote(const void* address, size_t bytes);

 private:
  void activate();

  unsigned char* base_ = nullptr;
  size_t bytes_ = 0;
  unsigned char start_fill_ = 0;
  bool active_ = false;
  std::vector<unsigned char> seen_;  // the contents at the last look
  std::vector<uint32_t> writer_;     // per byte: 1 + the storing thread, none or unknown
};

}  // namespace hostgpu::detail
