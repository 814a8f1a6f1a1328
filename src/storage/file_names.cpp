#include "storage/file_names.h"

#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace quillmere {

namespace {

constexpr std::string_view kTempMark = ".json.tmp.";
constexpr size_t kRidLength = 36;

}  // namespace

std::string join_path(std::string_view base, std::string_view name) {
  std::string out;
  out.reserve(base.size() + 1 + name.size());
  out.append(base);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

std::string receipts_folder(std::string_view base_path) {
  return join_path(base_path, "receipts");
}

std::string receipt_file_name(const Uuid& rid) {
  return uuid_to_string(rid) + ".json";
}

bool is_receipt_file_name(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  return name.substr(dot + 1) == "json";
}

std::string temp_file_name(std::string_view rid) {
  static std::atomic<uint64_t> counter{0};
  uint64_t salt = 0;
  if (::getrandom(&salt, sizeof salt, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof salt)) {
    salt = 0;  // the pid and the counter still keep names apart
  }
  char suffix[64];
  const int n = std::snprintf(suffix, sizeof suffix, "%ld.%016llx%llx",
                              static_cast<long>(::getpid()), static_cast<unsigned long long>(salt),
                              static_cast<unsigned long long>(counter.fetch_add(1)));
  std::string name;
  name.reserve(1 + rid.size() + kTempMark.size() + static_cast<size_t>(n));
  name.push_back('.');
  name.append(rid);
  name.append(kTempMark);
  name.append(suffix, static_cast<size_t>(n));
  return name;
}

bool is_temp_file_name(std::string_view name) {
  return name.size() > 1 + kRidLength + kTempMark.size() && name[0] == '.' &&
         name.substr(1 + kRidLength, kTempMark.size()) == kTempMark;
}

}  // namespace quillmere
