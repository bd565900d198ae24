// Device unit blake3: BLAKE3's constants in constant memory, on their own.
#include "tensor_hash/blake3_constants.h"
