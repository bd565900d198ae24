// The noise generation unit: the six instantiations of the generator kernel
// and their launchers, with the BLAKE3 constants of the unit's device image.
#include "gemm/noise_generation_host.h"

#include "device_kernel.h"
#include "gemm/noise_generation_kernel.h"
#include "tensor_hash/blake3_constants.h"

namespace vexal {

namespace {

uint32_t blocks_for(const void* pointer, uint64_t extent, uint64_t per_block) {
  return pointer ? static_cast<uint32_t>((extent + per_block - 1) / per_block) : 0u;
}

}  // namespace

template <int R, int T>
void run_noise_generation(NoiseGenerationArgs& args, cudaStream_t stream) {
  using Kernel = NoiseGenerationKernel<R, T>;
  const uint64_t m = static_cast<uint32_t>(args.m);
  const uint64_t n = static_cast<uint32_t>(args.n);
  const uint64_t k = static_cast<uint32_t>(args.k);

  typename Kernel::Params params{};
  params.left_a = args.left_a;
  params.left_a_aux = args.left_a_aux;
  params.right_a = args.right_a;
  params.right_a_aux = args.right_a_aux;
  params.right_b = args.right_b;
  params.right_b_aux = args.right_b_aux;
  params.left_b = args.left_b;
  params.left_b_aux = args.left_b_aux;
  params.k_a = (args.right_a || args.right_a_aux) ? static_cast<uint32_t>(k) : 0u;
  params.k_b = (args.right_b || args.right_b_aux) ? static_cast<uint32_t>(k) : 0u;
  params.m = args.left_a ? static_cast<uint32_t>(m) : 0u;
  params.n = args.left_b ? static_cast<uint32_t>(n) : 0u;
  params.seed_a = args.seed_a;
  params.seed_b = args.seed_b;
  params.extra = args.extra;
  params.extra_len = args.extra ? args.extra_len : 0u;
  params.blocks_left_a = blocks_for(args.left_a, m, Kernel::kRowsPerBlock);
  params.blocks_right_a = blocks_for(args.right_a, k, Kernel::kColumnsPerBlock);
  params.blocks_right_a_aux = blocks_for(args.right_a_aux, k, Kernel::kColumnsPerBlock);
  params.blocks_right_b = blocks_for(args.right_b, k, Kernel::kColumnsPerBlock);
  params.blocks_right_b_aux = blocks_for(args.right_b_aux, k, Kernel::kColumnsPerBlock);
  params.blocks_left_b = blocks_for(args.left_b, n, Kernel::kRowsPerBlock);
  params.blocks_extra = blocks_for(args.extra, args.extra_len, Kernel::kExtraPerBlock);

  const uint32_t blocks = params.blocks_left_a + params.blocks_right_a +
                          params.blocks_right_a_aux + params.blocks_right_b +
                          params.blocks_right_b_aux + params.blocks_left_b + params.blocks_extra;
  launch_device_kernel<Kernel>(dim3(blocks, 1, 1), dim3(T, 1, 1), Kernel::kSharedBytes, stream,
                               params);
  check_noise_generation_launch(cudaGetLastError());
}

template void run_noise_generation<128, 128>(NoiseGenerationArgs&, cudaStream_t);
template void run_noise_generation<64, 128>(NoiseGenerationArgs&, cudaStream_t);
template void run_noise_generation<128, 64>(NoiseGenerationArgs&, cudaStream_t);
template void run_noise_generation<128, 32>(NoiseGenerationArgs&, cudaStream_t);
template void run_noise_generation<64, 64>(NoiseGenerationArgs&, cudaStream_t);
template void run_noise_generation<64, 32>(NoiseGenerationArgs&, cudaStream_t);

}  // namespace vexal
