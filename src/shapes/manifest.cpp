// Compact manifests: the chunk table, the JSON form and the overlap.
#include "shapes/manifest.h"

#include <algorithm>
#include <cstring>

#include "codec/json_reader.h"
#include "shapes/data_shape.h"

namespace quillmere {

// --- chunk table ---------------------------------------------------------------------------

void ChunkTable::push_back_growing(const ChunkRecord& record) {
  const size_t slot = size_ & (kBlockRecords - 1);
  const size_t block = size_ >> kBlockShift;
  if (block == blocks_.size()) {
    blocks_.push_back(std::make_unique_for_overwrite<ChunkRecord[]>(kBlockRecords));
    last_capacity_ = kBlockRecords;
  } else if (block + 1 == blocks_.size() && slot == last_capacity_) {
    // the last block was shrunk or reserved short: give it its full room
    auto full = std::make_unique_for_overwrite<ChunkRecord[]>(kBlockRecords);
    std::copy_n(blocks_.back().get(), slot, full.get());
    blocks_.back() = std::move(full);
    last_capacity_ = kBlockRecords;
  }
  blocks_[block][slot] = record;
  ++size_;
}

void ChunkTable::reserve(size_t count) {
  if (size_ != 0 || !blocks_.empty() || count == 0) return;
  const size_t full = count >> kBlockShift;
  const size_t rest = count & (kBlockRecords - 1);
  blocks_.reserve(full + (rest != 0 ? 1 : 0));
  for (size_t i = 0; i < full; ++i) {
    blocks_.push_back(std::make_unique_for_overwrite<ChunkRecord[]>(kBlockRecords));
  }
  if (rest != 0) blocks_.push_back(std::make_unique_for_overwrite<ChunkRecord[]>(rest));
  last_capacity_ = rest != 0 ? rest : kBlockRecords;
}

void ChunkTable::shrink() {
  // Blocks reserved but never reached go first.
  const size_t needed = (size_ + kBlockRecords - 1) >> kBlockShift;
  if (blocks_.size() > needed) {
    blocks_.resize(needed);
    last_capacity_ = blocks_.empty() ? 0 : kBlockRecords;
  }
  if (blocks_.empty()) return;
  const size_t used = size_ - ((blocks_.size() - 1) << kBlockShift);
  if (used == last_capacity_) return;
  auto exact = std::make_unique_for_overwrite<ChunkRecord[]>(used);
  std::copy_n(blocks_.back().get(), used, exact.get());
  blocks_.back() = std::move(exact);
  last_capacity_ = used;
  blocks_.shrink_to_fit();
}

size_t ChunkTable::memory_bytes() const {
  if (blocks_.empty()) return 0;
  return ((blocks_.size() - 1) * kBlockRecords + last_capacity_) * sizeof(ChunkRecord);
}

std::string CompactManifest::shape_hash() const {
  return data_shape_hash(hash_string(root), total_len, chunk_scheme);
}

// --- JSON form -----------------------------------------------------------------------------

namespace {

void append_scheme(std::string& out, ChunkScheme scheme) {
  if (scheme.kind == ChunkScheme::Kind::CDC) {
    out += "{\"avg_size\":" + std::to_string(scheme.size) + ",\"type\":\"cdc\"}";
  } else {
    out += "{\"size\":" + std::to_string(scheme.size) + ",\"type\":\"fixed\"}";
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // upper case is not the hash string form
}

// "sha256:" + 64 lowercase hex digits into the 32 bytes; false otherwise.
bool parse_hash_string(const JsonValue& value, Digest& out) {
  if (!value.is_string()) return false;
  const std::string& s = value.as_string();
  if (s.size() != 71 || s.compare(0, 7, "sha256:") != 0) return false;
  for (size_t k = 0; k < 32; ++k) {
    const int hi = hex_value(s[7 + 2 * k]);
    const int lo = hex_value(s[8 + 2 * k]);
    if (hi < 0 || lo < 0) return false;
    out[k] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

using Fault = std::unexpected<std::string>;

std::expected<ChunkScheme, std::string> read_scheme(const JsonValue* value) {
  if (value == nullptr) return Fault("missing member \"chunk_scheme\"");
  if (!value->is_object()) return Fault("\"chunk_scheme\" is not an object");
  const JsonObject& scheme = value->as_object();
  const JsonValue* type = scheme.find("type");
  if (type == nullptr || !type->is_string()) {
    return Fault("\"chunk_scheme\" has no \"type\" text");
  }
  const bool fixed = type->as_string() == "fixed";
  if (!fixed && type->as_string() != "cdc") {
    return Fault("\"chunk_scheme\" has type \"" + type->as_string() +
                 "\", expected \"cdc\" or \"fixed\"");
  }
  const char* key = fixed ? "size" : "avg_size";
  const JsonValue* size = scheme.find(key);
  if (size == nullptr || !size->is_u64() || size->as_u64() == 0) {
    return Fault(std::string("\"chunk_scheme\" has no \"") + key + "\" above 0");
  }
  return fixed ? ChunkScheme::fixed(size->as_u64()) : ChunkScheme::cdc(size->as_u64());
}

}  // namespace

std::string manifest_to_json(const CompactManifest& manifest) {
  std::string out;
  out.reserve(120 + manifest.chunks.size() * 100);
  out += "{\"chunk_scheme\":";
  append_scheme(out, manifest.chunk_scheme);
  out += ",\"chunks\":[";
  for (size_t i = 0; i < manifest.chunks.size(); ++i) {
    const ChunkRecord& c = manifest.chunks[i];
    if (i != 0) out += ',';
    out += '[';
    out += std::to_string(c.offset);
    out += ',';
    out += std::to_string(c.len);
    out += ",\"";
    append_hash_string(out, c.digest);
    out += "\"]";
  }
  out += "],\"root\":\"";
  append_hash_string(out, manifest.root);
  out += "\",\"total_len\":";
  out += std::to_string(manifest.total_len);
  out += '}';
  return out;
}

std::expected<CompactManifest, std::string> manifest_from_json(std::string_view text) {
  auto parsed = parse_json(text);
  if (!parsed) return Fault("not JSON: " + parsed.error().display());
  if (!parsed->is_object()) return Fault("not a JSON object");
  const JsonObject& doc = parsed->as_object();

  CompactManifest manifest;
  auto scheme = read_scheme(doc.find("chunk_scheme"));
  if (!scheme) return Fault(scheme.error());
  manifest.chunk_scheme = *scheme;

  const JsonValue* root = doc.find("root");
  if (root == nullptr) return Fault("missing member \"root\"");
  if (!parse_hash_string(*root, manifest.root)) return Fault("\"root\" is not a hash string");
  const JsonValue* total = doc.find("total_len");
  if (total == nullptr) return Fault("missing member \"total_len\"");
  if (!total->is_u64()) return Fault("\"total_len\" is not an unsigned integer");
  manifest.total_len = total->as_u64();
  const JsonValue* chunks = doc.find("chunks");
  if (chunks == nullptr) return Fault("missing member \"chunks\"");
  if (!chunks->is_array()) return Fault("\"chunks\" is not an array");

  MerkleFolder folder;
  uint64_t next = 0;
  size_t index = 0;
  for (const JsonValue& item : chunks->as_array()) {
    const std::string where = "chunk " + std::to_string(index);
    if (!item.is_array() || item.as_array().size() != 3) {
      return Fault(where + " is not [offset, length, id]");
    }
    const JsonArray& fields = item.as_array();
    if (!fields[0].is_u64()) return Fault(where + ": offset is not an unsigned integer");
    if (!fields[1].is_u64() || fields[1].as_u64() == 0) {
      return Fault(where + ": length is not an integer above 0");
    }
    ChunkRecord record{fields[0].as_u64(), fields[1].as_u64(), {}};
    if (!parse_hash_string(fields[2], record.digest)) {
      return Fault(where + ": id is not a hash string");
    }
    if (record.offset != next) {
      return Fault(where + ": offset " + std::to_string(record.offset) +
                   " does not continue the chunks before it (expected " + std::to_string(next) +
                   ")");
    }
    if (record.len > UINT64_MAX - next) return Fault(where + ": length overflows the stream");
    const bool last = index + 1 == chunks->as_array().size();
    if (auto why = impossible_chunk_length(manifest.chunk_scheme, record.len, last)) {
      return Fault(where + ": length " + std::to_string(record.len) +
                   " cannot come from its scheme (" + *why + ")");
    }
    next += record.len;
    folder.add_chunk(record.digest);
    manifest.chunks.push_back(record);
    ++index;
  }
  if (next != manifest.total_len) {
    return Fault("the chunk lengths add up to " + std::to_string(next) + ", not total_len " +
                 std::to_string(manifest.total_len));
  }
  if (folder.root() != manifest.root) {
    return Fault("\"root\" does not match the root of the chunk ids");
  }
  manifest.chunks.shrink();
  return manifest;
}

// --- overlap -------------------------------------------------------------------------------

namespace {

// A digest's first 4 bytes as a big-endian number: ordering by it orders by the digest's
// first bytes, and only equal keys (rare: digests are uniform) need the whole digest.
struct Keyed {
  uint64_t key;
  const Digest* digest;
};

uint64_t key_of(const Digest& d) {
  uint32_t k;
  std::memcpy(&k, d.data(), sizeof k);
  return __builtin_bswap32(k);
}

int compare(const Keyed& x, const Keyed& y) {
  if (x.key != y.key) return x.key < y.key ? -1 : 1;
  return std::memcmp(x.digest->data(), y.digest->data(), x.digest->size());
}

// The distinct digests of a manifest, in digest order: a radix sort on the keys (4 passes
// of 8 bits, linear in the chunk count), then equal keys ordered by the whole digest.
std::vector<Keyed> sorted_digests(const ChunkTable& chunks) {
  std::vector<Keyed> out(chunks.size());
  for (size_t i = 0; i < chunks.size(); ++i) {
    out[i] = Keyed{key_of(chunks[i].digest), &chunks[i].digest};
  }
  std::vector<Keyed> spare(out.size());
  for (unsigned shift = 0; shift < 32; shift += 8) {
    size_t start[257] = {};
    for (const Keyed& e : out) ++start[((e.key >> shift) & 0xFF) + 1];
    for (size_t d = 0; d < 256; ++d) start[d + 1] += start[d];
    for (const Keyed& e : out) spare[start[(e.key >> shift) & 0xFF]++] = e;
    out.swap(spare);
  }
  for (size_t i = 0; i < out.size();) {
    size_t j = i + 1;
    while (j < out.size() && out[j].key == out[i].key) ++j;
    if (j - i > 1) {
      std::sort(out.begin() + static_cast<ptrdiff_t>(i), out.begin() + static_cast<ptrdiff_t>(j),
                [](const Keyed& x, const Keyed& y) { return compare(x, y) < 0; });
    }
    i = j;
  }
  out.erase(std::unique(out.begin(), out.end(),
                        [](const Keyed& x, const Keyed& y) { return compare(x, y) == 0; }),
            out.end());
  return out;
}

}  // namespace

double manifest_jaccard(const CompactManifest& a, const CompactManifest& b) {
  const std::vector<Keyed> x = sorted_digests(a.chunks);
  const std::vector<Keyed> y = sorted_digests(b.chunks);
  if (x.empty() && y.empty()) return 1.0;
  size_t shared = 0;
  for (size_t i = 0, j = 0; i < x.size() && j < y.size();) {
    const int order = compare(x[i], y[j]);
    if (order == 0) {
      ++shared, ++i, ++j;
    } else if (order < 0) {
      ++i;
    } else {
      ++j;
    }
  }
  const size_t all = x.size() + y.size() - shared;
  return static_cast<double>(shared) / static_cast<double>(all);
}

}  // namespace quillmere
