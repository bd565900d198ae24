#include "engine/row_images.h"

#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "device_unit_images.h"

namespace {

// A unit the row runs kernels of; `unusable` names an image the unit carries
// whose kernels trap on that capability.
struct RowUnit {
  const char* unit;
  const char* unusable;
  const char* why;
};

struct RowUnits {
  const char* row;
  std::vector<RowUnit> units;
};

// The units of every mining attempt (noise, commitments, proofs, challenges).
const char* const kEngineUnits[] = {"noise_generation", "blake3_constants", "tensor_hash",
                                    "korvath_gpu_plain_proof", "korvath_challenge_solver"};

const std::vector<RowUnits>& row_units() {
  static const std::vector<RowUnits> table = {
      {"volta_sm70", {{"volta_mining_kernel", nullptr, nullptr}}},
      {"turing_sm75", {{"turing_mining_kernel", nullptr, nullptr}}},
      {"ampere_sm8x", {{"ampere_mining_kernel", nullptr, nullptr}}},
      {"cmp170hx_sm80", {{"cmp170hx_mining_kernel", nullptr, nullptr}}},
      {"cmp170hx_dp2a_int", {{"cmp170hx_dp2a_mining_kernel", nullptr, nullptr}}},
      {"cmp170hx_scalar_int", {{"cmp170hx_scalar_mining_kernel", nullptr, nullptr}}},
      {"ada_sm89", {{"ada_mining_kernel", nullptr, nullptr}}},
      {"hopper_sm90",
       {{"hopper_mining_kernel", nullptr, nullptr}, {"blackwell_mining_kernel", nullptr, nullptr}}},
      {"blackwell_sm120", {{"blackwell_mining_kernel", nullptr, nullptr}}},
      {"blackwell_native_sm120",
       {{"blackwell_native_mining_kernel", nullptr, nullptr},
        {"blackwell_native_exact_kernel", nullptr, nullptr}}},
      {"blackwell_b200_sm100",
       {{"blackwell_b200_mining_kernel", "103a", "sm_103a has no int8 tensor-core MMA"},
        {"blackwell_native_mining_kernel", nullptr, nullptr},
        {"blackwell_native_exact_kernel", nullptr, nullptr}}},
      {"blackwell_b300_sm103",
       {{"blackwell_b300_mining_kernel", nullptr, nullptr},
        {"blackwell_native_mining_kernel", nullptr, nullptr},
        {"blackwell_native_exact_kernel", nullptr, nullptr}}},
  };
  return table;
}

const char* images_of(const char* unit) {
  for (const DeviceUnitImages& entry : kDeviceUnitImages) {
    if (std::strcmp(entry.unit, unit) == 0) return entry.architectures;
  }
  return nullptr;
}

// An "XYa" image runs on capability X.Y only; an "XY" image on X.Y and the
// higher minors of X.
bool image_runs_on(const std::string& image, int major, int minor) {
  const bool exact = !image.empty() && image.back() == 'a';
  const int number = std::stoi(exact ? image.substr(0, image.size() - 1) : image);
  const int image_major = number / 10;
  const int image_minor = number % 10;
  if (image_major != major) return false;
  return exact ? minor == image_minor : minor >= image_minor;
}

// Empty when one of the unit's usable images runs on the capability, else
// the images it has.
std::string unit_shortfall(const RowUnit& unit, int major, int minor) {
  const char* images = images_of(unit.unit);
  if (images == nullptr) return "no images in this build";
  std::istringstream words(images);
  std::string image;
  std::string listed;
  while (words >> image) {
    const bool usable = unit.unusable == nullptr || image != unit.unusable;
    if (usable && image_runs_on(image, major, minor)) return "";
    listed += (listed.empty() ? "sm_" : ", sm_") + image;
  }
  std::string text = "images " + (listed.empty() ? std::string("none") : listed);
  if (unit.unusable != nullptr) text += std::string("; ") + unit.why;
  return text;
}

}  // namespace

std::string row_image_refusal(const GpuBackendDescriptor& row, int major, int minor) {
  const std::string capability = std::to_string(major) + "." + std::to_string(minor);
  std::vector<RowUnit> units;
  for (const RowUnits& entry : row_units()) {
    if (std::strcmp(entry.row, row.name) == 0) units = entry.units;
  }
  if (units.empty()) return std::string("backend ") + row.name + " has no device images listed";
  for (const char* unit : kEngineUnits) units.push_back(RowUnit{unit, nullptr, nullptr});
  for (const RowUnit& unit : units) {
    const std::string shortfall = unit_shortfall(unit, major, minor);
    if (!shortfall.empty()) {
      return std::string("backend ") + row.name + " cannot run on compute capability " + capability +
             ": its unit " + unit.unit + " has " + shortfall;
    }
  }
  return "";
}

void require_row_runs_on_device(const GpuBackendDescriptor& row, const cudaDeviceProp& prop,
                                 int device) {
  const std::string refusal = row_image_refusal(row, prop.major, prop.minor);
  if (refusal.empty()) return;
  throw std::runtime_error(refusal + " (device " + std::to_string(device) + ", " + prop.name + ")");
}
