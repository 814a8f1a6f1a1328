// Names of kinds and determinism, and UUID text.
#include "receipts/receipt.h"

#include <array>

namespace quillmere {

namespace {
constexpr std::array<std::string_view, 3> kDeterminismWire = {"strict", "bounded", "observational"};
}  // namespace

std::optional<ReceiptKind> receipt_kind_from_wire(std::string_view name) {
  for (size_t i = 0; i < kKindWireNames.size(); ++i) {
    if (kKindWireNames[i] == name) return static_cast<ReceiptKind>(i);
  }
  return std::nullopt;
}

std::string kind_wire_list() {
  std::string out;
  for (std::string_view name : kKindWireNames) {
    if (!out.empty()) out.append(", ");
    out.append(name);
  }
  return out;
}

std::string_view wire_name(Determinism d) {
  return kDeterminismWire[static_cast<size_t>(d)];
}
std::optional<Determinism> determinism_from_wire(std::string_view name) {
  for (size_t i = 0; i < kDeterminismWire.size(); ++i) {
    if (kDeterminismWire[i] == name) return static_cast<Determinism>(i);
  }
  return std::nullopt;
}

std::string uuid_to_string(const Uuid& id) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kHex[id[i] >> 4]);
    out.push_back(kHex[id[i] & 0xF]);
  }
  return out;
}

}  // namespace quillmere
