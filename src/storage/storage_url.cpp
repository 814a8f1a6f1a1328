// Parsing storage URLs. SQLite paths are taken literally (no percent decoding), so
// any file name can be written as it is.
#include "storage/storage_url.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace quillmere {
namespace {

constexpr std::string_view kMask = "***";
constexpr std::string_view kPasswordKey = "password=";

bool is_key_start(std::string_view text, size_t at) {
  if (at == 0) return true;
  const char c = text[at - 1];
  return c == '?' || c == '&' || c == ' ' || c == '\t' || c == '\n' || c == '"' || c == '\'' ||
         c == ',' || c == ';' || c == '(';
}

bool key_at(std::string_view text, size_t at) {
  if (text.size() - at < kPasswordKey.size()) return false;
  for (size_t k = 0; k < kPasswordKey.size(); ++k) {
    char c = text[at + k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kPasswordKey[k]) return false;
  }
  return is_key_start(text, at);
}

// The end of a password= value starting at `from`: a quoted value (key='a b', with
// backslash escapes) to its closing quote, otherwise up to '&', '#', a blank or a quote.
size_t value_end(std::string_view text, size_t from) {
  if (from < text.size() && text[from] == '\'') {
    size_t i = from + 1;
    while (i < text.size() && text[i] != '\'') i += text[i] == '\\' ? 2 : 1;
    return std::min(text.size(), i + 1);
  }
  size_t i = from;
  while (i < text.size() &&
         std::string_view("&# \t\r\n\"'").find(text[i]) == std::string_view::npos)
    ++i;
  return i;
}

// The [begin, end) of the password in the URL whose "://" is at `scheme_end`, if it has one.
std::optional<std::pair<size_t, size_t>> url_password(std::string_view text, size_t scheme_end) {
  const size_t begin = scheme_end + 3;
  const size_t end = std::min(text.find_first_of("/?# \t\r\n\"", begin), text.size());
  const size_t at = text.rfind('@', end == 0 ? 0 : end - 1);
  if (at == std::string_view::npos || at < begin) return std::nullopt;
  const size_t colon = text.find(':', begin);
  if (colon == std::string_view::npos || colon > at) return std::nullopt;
  return std::pair{colon + 1, at};
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int hi = hex_digit(text[i + 1]);
      const int lo = hex_digit(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// Every password-like value of `url`, as written and percent-decoded.
std::vector<std::string> secrets_of(std::string_view url) {
  std::vector<std::string> found;
  const auto add = [&](std::string_view secret) {
    if (secret.starts_with('\'') && secret.size() >= 2)
      secret = secret.substr(1, secret.size() - 2);
    // A one-character secret would mask that character everywhere; the structural masks
    // still hide it where it stands in a URL.
    if (secret.size() < 2) return;
    found.emplace_back(secret);
    if (std::string decoded = percent_decoded(secret); decoded != secret && decoded.size() >= 2) {
      found.push_back(std::move(decoded));
    }
  };
  for (size_t at = url.find("://"); at != std::string_view::npos; at = url.find("://", at + 3)) {
    if (auto range = url_password(url, at))
      add(url.substr(range->first, range->second - range->first));
  }
  for (size_t i = 0; i < url.size(); ++i) {
    if (key_at(url, i)) {
      const size_t from = i + kPasswordKey.size();
      add(url.substr(from, value_end(url, from) - from));
    }
  }
  // Longest first, so a secret holding another is masked whole.
  std::sort(found.begin(), found.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  return found;
}

}  // namespace

std::string redact_secrets(std::string_view text, std::string_view url) {
  std::string out(text);
  // URL passwords.
  for (size_t at = out.find("://"); at != std::string::npos; at = out.find("://", at + 3)) {
    if (auto range = url_password(out, at)) {
      out.replace(range->first, range->second - range->first, kMask);
    }
  }
  // password= values.
  for (size_t i = 0; i < out.size(); ++i) {
    if (!key_at(out, i)) continue;
    const size_t from = i + kPasswordKey.size();
    const size_t end = value_end(out, from);
    if (end > from) out.replace(from, end - from, kMask);
    i = from + (end > from ? kMask.size() : 0);
  }
  // The URL's own secrets, wherever a message quotes them.
  for (const std::string& secret : secrets_of(url)) {
    for (size_t at = out.find(secret); at != std::string::npos; at = out.find(secret, at)) {
      out.replace(at, secret.size(), kMask);
      at += kMask.size();
    }
  }
  return out;
}

std::expected<StorageUrl, std::string> parse_storage_url(std::string_view url) {
  constexpr std::string_view kSqlite = "sqlite:";
  if (url.starts_with("postgresql://") || url.starts_with("postgres://")) {
    return StorageUrl{StorageUrl::Kind::Postgres, std::string(url)};
  }
  if (!url.starts_with(kSqlite)) {
    // The URL is not repeated: it may hold a password.
    return std::unexpected(
        std::string("a storage URL begins with sqlite:, postgresql:// or postgres://"));
  }
  std::string_view path = url.substr(kSqlite.size());
  if (path.starts_with("//")) {
    // An authority part: only the empty one (sqlite:///abs/path) names a file here.
    path.remove_prefix(2);
    if (!path.starts_with("/")) {
      return std::unexpected(std::string(
          "a SQLite URL names no host: sqlite:///absolute/path.db or sqlite:relative/path.db"));
    }
  }
  if (path.empty()) return std::unexpected(std::string("a SQLite URL needs a file path"));
  // SQLite would keep these in memory (receipts gone when the store closes) or read them
  // as its own URI syntax; a store is always the one named file.
  if (path == ":memory:" || path.starts_with("file:")) {
    return std::unexpected(
        std::string("a SQLite URL names a database file, not an in-memory database or a file: URI "
                    "(write sqlite:///absolute/path.db or sqlite:relative/path.db)"));
  }
  return StorageUrl{StorageUrl::Kind::Sqlite, std::string(path)};
}

}  // namespace quillmere
