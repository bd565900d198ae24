// Sizes and alignments of each registered kernel's parameters. Registration happens at
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
  std::map<const void*, std::vector<KernelParameter>> parameters;
};

ParameterTable& parameter_table() {
  static ParameterTable table;
  return table;
}

}  // namespace

void register_kernel_parameters(const void* kernel, const KernelParameter* parameters, size_t count) {
  std::vector<KernelParameter> list(parameters, parameters + count);
  for (KernelParameter& parameter : list) {
    if (parameter.alignment == 0) parameter.alignment = 1;
  }
  ParameterTable& table = parameter_table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.parameters[kernel] = std::move(list);
}

namespace runtime {

bool kernel_parameters(const void* kernel, std::vector<KernelParameter>* parameters) {
  ParameterTable& table = parameter_table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.parameters.find(kernel);
  if (found == table.parameters.end()) return false;
  *parameters = found->second;
  return true;
}

}  // namespace runtime
}  // namespace hostgpu
