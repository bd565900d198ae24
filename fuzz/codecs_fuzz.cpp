// Hex and base64 text from the pool and the gateway: decoding fails only with
// the documented errors, and the gateway's base64 decoder reads back what the
// encoder wrote.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/codecs.h"
#include "pool/gateway_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<uint8_t> bytes(data, data + size);

  try {
    const std::vector<uint8_t> decoded = hex_decode(text);
    if (decoded.size() * 2 != text.size()) std::abort();
    if (decoded.size() == 32 && hex_decode(hex32(decoded.data())) != decoded) std::abort();
  } catch (const std::runtime_error&) {
  }
  try {
    decode_gateway_base64(text);
  } catch (const std::runtime_error&) {
  }
  if (decode_gateway_base64(base64_encode(bytes)) != bytes) std::abort();
  return 0;
}
