#pragma once
// BLAKE3's constants in constant memory: the initialisation words and the
// {counter, block length, flags} of the three one-block compressions the
// device code makes (keyed hash of a whole 64-byte input, top parent, inner
// parent). Each unit that includes this header carries its own copy: device
// images built without relocatable device code cannot share a constant.
#include <cstdint>

#include "core/gpu_platform.h"
#include "tensor_hash/blake3_device.h"

namespace blake3 {
namespace {

KORVATH_DEVICE_CONSTANT(uint32_t[8], IV, 0x6A09E667u, 0xBB67AE85u, 0x3C6EF372u, 0xA54FF53Au,
                        0x510E527Fu, 0x9B05688Cu, 0x1F83D9ABu, 0x5BE0CD19u);

KORVATH_DEVICE_CONSTANT(CompressParams, COMPRESS_PARAMS_SINGLE_BLOCK_KEYED, 0, kBlockLen,
                        CHUNK_START | CHUNK_END | ROOT | KEYED_HASH);
KORVATH_DEVICE_CONSTANT(CompressParams, COMPRESS_PARAMS_ROOT, 0, kBlockLen,
                        PARENT | ROOT | KEYED_HASH);
KORVATH_DEVICE_CONSTANT(CompressParams, COMPRESS_PARAMS_INNER_NODE, 0, kBlockLen,
                        PARENT | KEYED_HASH);

}  // namespace
}  // namespace blake3
