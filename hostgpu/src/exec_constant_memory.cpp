// Per-device constant memory. Each registered device constant gets, per
// device, storage initialised from its image the first time that device
// needs it; the storage never moves, so readers may keep its address.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "exec_state.h"
#include "hostgpu/device_constant.h"
#include "hostgpu/executor.h"

namespace hostgpu {
namespace detail {
namespace {

struct ConstantSymbol {
  size_t bytes = 0;
  std::string name;
  std::map<int, std::unique_ptr<unsigned char[]>> per_device;
};

struct ConstantRegistry {
  std::mutex mutex;
  std::unordered_map<const void*, ConstantSymbol> symbols;
};

ConstantRegistry& registry() {
  static ConstantRegistry instance;
  return instance;
}

unsigned char* storage_locked(const void* symbol, ConstantSymbol& entry, int device) {
  std::unique_ptr<unsigned char[]>& storage = entry.per_device[device];
  if (!storage) {
    storage.reset(new unsigned char[entry.bytes]);
    std::memcpy(storage.get(), symbol, entry.bytes);
  }
  return storage.get();
}

// The reading host thread's view of one device's storage addresses.
struct ReadCache {
  int device = -1;
  const void* last_symbol = nullptr;
  const void* last_storage = nullptr;
  std::unordered_map<const void*, const void*> storage;
};

}  // namespace

void register_device_constant(const void* symbol, size_t bytes, const char* name) {
  ConstantRegistry& constants = registry();
  std::lock_guard<std::mutex> lock(constants.mutex);
  ConstantSymbol& entry = constants.symbols[symbol];
  entry.bytes = bytes;
  entry.name = name;
}

namespace {
ReadCache& read_cache() {
  thread_local ReadCache cache;
  return cache;
}
}  // namespace

void* constant_read_cache(size_t* bytes) {
  *bytes = sizeof(ReadCache);
  return &read_cache();
}

const void* device_constant_for_read(const void* symbol) {
  const int device = execution_state().device;
  if (device < 0) return symbol;  // host code sees the initial image
  ReadCache& cache = read_cache();
  if (cache.device != device) {
    cache = ReadCache{};
    cache.device = device;
  }
  if (cache.last_symbol == symbol) return cache.last_storage;
  const void*& storage = cache.storage[symbol];
  if (storage == nullptr) {
    ConstantRegistry& constants = registry();
    std::lock_guard<std::mutex> lock(constants.mutex);
    const auto found = constants.symbols.find(symbol);
    storage = found == constants.symbols.end() ? symbol : storage_locked(symbol, found->second, device);
  }
  cache.last_symbol = symbol;
  cache.last_storage = storage;
  return storage;
}

}  // namespace detail

void* constant_symbol_storage(const void* symbol, int device, size_t* bytes) {
  if (device < 0) return nullptr;
  detail::ConstantRegistry& constants = detail::registry();
  std::lock_guard<std::mutex> lock(constants.mutex);
  const auto found = constants.symbols.find(symbol);
  if (found == constants.symbols.end()) return nullptr;
  if (bytes != nullptr) *bytes = found->second.bytes;
  return detail::storage_locked(symbol, found->second, device);
}

}  // namespace hostgpu
