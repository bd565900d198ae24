// Byte sizes of each registered kernel's parameters. Registration happens at
// static initialisation, so the table lives apart from the platform.
#include <map>
#include <mutex>
#include <vector>

#include "hostgpu/executor.h"
#include "runtime_state.h"

namespace hostgpu {
namespace {

struct ParameterTable {
  std::mutex mutex;
  std::map<const void*, std::vector<size_t>> sizes;
};

ParameterTable& parameter_table() {
  static ParameterTable table;
  return table;
}

}  // namespace

void register_kernel_parameters(const void* kernel, const size_t* sizes, size_t count) {
  ParameterTable& table = parameter_table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.sizes[kernel] = std::vector<size_t>(sizes, sizes + count);
}

namespace runtime {

bool kernel_parameter_sizes(const void* kernel, std::vector<size_t>* sizes) {
  ParameterTable& table = parameter_table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.sizes.find(kernel);
  if (found == table.sizes.end()) return false;
  *sizes = found->second;
  return true;
}

}  // namespace runtime
}  // namespace hostgpu
