#include "proof_verifier.h"

#include <algorithm>
#include <map>
#include <set>

#include "blake3.h"
#include "tensor_hash/blake3_device.h"

namespace {

void words_of(const uint8_t* bytes, uint32_t* words, int count) {
  for (int i = 0; i < count; ++i) words[i] = blake3::load_le32(bytes + 4 * i);
}

Hash32 bytes_of(const uint32_t words[8]) {
  Hash32 out{};
  for (int i = 0; i < 8; ++i) blake3::store_le32(out.data() + 4 * i, words[i]);
  return out;
}

Hash32 parent_of(const Hash32& left, const Hash32& right, bool root, const Key32& key) {
  uint32_t key_words[8], l[8], r[8], out[8];
  words_of(key.data(), key_words, 8);
  words_of(left.data(), l, 8);
  words_of(right.data(), r, 8);
  blake3::keyed_parent(key_words, l, r, root, out);
  return bytes_of(out);
}

// Sequential reader; every read past the end marks the reader failed.
struct Reader {
  const std::vector<uint8_t>& bytes;
  size_t at = 0;
  bool failed = false;

  uint64_t u64() {
    if (at + 8 > bytes.size()) {
      failed = true;
      return 0;
    }
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(bytes[at + i]) << (8 * i);
    at += 8;
    return value;
  }
  bool take(uint8_t* out, size_t count) {
    if (failed || at + count > bytes.size()) {
      failed = true;
      return false;
    }
    std::copy(bytes.begin() + at, bytes.begin() + at + count, out);
    at += count;
    return true;
  }
  std::vector<uint64_t> u64_list(uint64_t limit) {
    const uint64_t count = u64();
    std::vector<uint64_t> values;
    if (count > limit) {
      failed = true;
      return values;
    }
    for (uint64_t i = 0; i < count && !failed; ++i) values.push_back(u64());
    return values;
  }
};

std::string verify_opening(Reader& in, const char* name, uint64_t rows, uint64_t k,
                           const std::vector<uint64_t>& expected_opened, const Key32& key,
                           Hash32* root_out) {
  const std::string what = std::string(name) + ": ";
  const uint64_t matrix_bytes = rows * k;
  const uint64_t limit = in.bytes.size();

  const uint64_t chunk_count = in.u64();
  if (in.failed || chunk_count > limit / 1032) return what + "bad chunk count";
  std::vector<std::vector<uint8_t>> chunks;
  for (uint64_t j = 0; j < chunk_count; ++j) {
    if (in.u64() != 1024) return what + "chunk length is not 1024";
    std::vector<uint8_t> chunk(1024);
    if (!in.take(chunk.data(), chunk.size())) return what + "truncated chunk";
    chunks.push_back(std::move(chunk));
  }
  const std::vector<uint64_t> leaf_indices = in.u64_list(limit);
  const uint64_t leaf_count = in.u64();
  Hash32 root{};
  in.take(root.data(), root.size());
  const uint64_t sibling_count = in.u64();
  if (in.failed || sibling_count > limit / 32) return what + "bad sibling count";
  std::vector<Hash32> siblings(sibling_count);
  for (Hash32& sibling : siblings) in.take(sibling.data(), sibling.size());
  const std::vector<uint64_t> opened = in.u64_list(limit);
  if (in.failed) return what + "truncated opening";

  if (opened != expected_opened) return what + "opened indices differ from the request";
  std::set<uint64_t> wanted;
  for (const uint64_t row : opened) {
    if (row >= rows) return what + "opened row outside the matrix";
    for (uint64_t leaf = row * k / 1024; leaf <= (row * k + k - 1) / 1024; ++leaf) wanted.insert(leaf);
  }
  if (leaf_indices != std::vector<uint64_t>(wanted.begin(), wanted.end())) {
    return what + "leaf indices do not match the opened rows";
  }
  if (chunks.size() != leaf_indices.size()) return what + "chunk and leaf index counts differ";
  if (leaf_count != (matrix_bytes + 1023) / 1024) return what + "wrong leaf count";
  if (leaf_count == 0) {
    if (root != Hash32{} || !siblings.empty()) return what + "empty matrix with a root or siblings";
    *root_out = root;
    return "";
  }

  // Level 0 from the chunks; bytes past the matrix must be zero.
  std::map<uint64_t, Hash32> known;
  for (size_t j = 0; j < chunks.size(); ++j) {
    const uint64_t start = leaf_indices[j] * 1024;
    const uint64_t valid = std::min<uint64_t>(1024, matrix_bytes - start);
    for (uint64_t i = valid; i < 1024; ++i) {
      if (chunks[j][i] != 0) return what + "padding past the matrix is not zero";
    }
    known[leaf_indices[j]] = chunk_chaining_value(chunks[j].data(), 1024, leaf_indices[j], key);
  }
  size_t next_sibling = 0;
  uint64_t width = leaf_count;
  while (width > 1 && !known.empty()) {
    std::map<uint64_t, Hash32> parents;
    const bool top = width == 2;
    for (auto it = known.begin(); it != known.end(); ++it) {
      const uint64_t index = it->first;
      const Hash32 node = it->second;
      if (index % 2 == 1) {  // its left partner is not opened
        if (next_sibling >= siblings.size()) return what + "too few sibling hashes";
        parents[index / 2] = parent_of(siblings[next_sibling++], node, top, key);
        continue;
      }
      if (index + 1 >= width) {
        parents[index / 2] = node;  // carried up unpaired
        continue;
      }
      Hash32 partner;
      const auto right = std::next(it);
      if (right != known.end() && right->first == index + 1) {
        partner = right->second;
        it = right;
      } else {
        if (next_sibling >= siblings.size()) return what + "too few sibling hashes";
        partner = siblings[next_sibling++];
      }
      parents[index / 2] = parent_of(node, partner, top, key);
    }
    known.swap(parents);
    width = (width + 1) / 2;
  }
  if (next_sibling != siblings.size()) return what + "unused sibling hashes";
  if (!known.empty() && known.begin()->second != root) return what + "root does not verify";
  *root_out = root;
  return "";
}

}  // namespace

std::string verify_plain_proof(const std::vector<uint8_t>& bytes, const ExpectedProof& expected,
                               VerifiedProof* roots) {
  Reader in{bytes};
  const uint64_t m = in.u64(), n = in.u64(), k = in.u64(), rank = in.u64();
  if (in.failed) return "truncated shape";
  if (m != expected.m || n != expected.n || k != expected.k || rank != expected.rank) {
    return "shape differs";
  }
  VerifiedProof verified;
  std::string fault = verify_opening(in, "A", m, k, expected.rows, expected.key, &verified.a_root);
  if (!fault.empty()) return fault;
  fault = verify_opening(in, "B", n, k, expected.cols, expected.key, &verified.b_root);
  if (!fault.empty()) return fault;
  if (in.at != bytes.size()) return "trailing bytes";
  if (roots) *roots = verified;
  return "";
}

Hash32 keyed_hash_zero_padded(const std::vector<int8_t>& matrix, const Key32& key) {
  std::vector<uint8_t> padded(matrix.begin(), matrix.end());
  padded.resize((padded.size() + 1023) / 1024 * 1024, 0);
  blake3_hasher hasher;
  blake3_hasher_init_keyed(&hasher, key.data());
  blake3_hasher_update(&hasher, padded.data(), padded.size());
  Hash32 out{};
  blake3_hasher_finalize(&hasher, out.data(), out.size());
  return out;
}

Hash32 chunk_chaining_value(const uint8_t* chunk, uint64_t valid_bytes, uint64_t index,
                            const Key32& key) {
  uint32_t cv[8];
  words_of(key.data(), cv, 8);
  for (int b = 0; b < 16; ++b) {
    uint8_t block_bytes[64] = {};
    for (int i = 0; i < 64; ++i) {
      const uint64_t at = static_cast<uint64_t>(b) * 64 + i;
      if (at < valid_bytes) block_bytes[i] = chunk[at];
    }
    uint32_t block[16];
    words_of(block_bytes, block, 16);
    uint32_t flags = blake3::KEYED_HASH;
    if (b == 0) flags |= blake3::CHUNK_START;
    if (b == 15) flags |= blake3::CHUNK_END;
    blake3::compress_cv(cv, block, index, 64, flags, cv);
  }
  return bytes_of(cv);
}

std::vector<uint8_t> base64_decode(const std::string& text) {
  const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<uint8_t> out;
  uint32_t buffer = 0;
  int bits = 0;
  for (const char c : text) {
    if (c == '=' || c == '\n') break;
    const size_t value = alphabet.find(c);
    if (value == std::string::npos) return {};
    buffer = (buffer << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(buffer >> bits));
    }
  }
  return out;
}

std::string to_hex(const uint8_t* bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}
