// Replays the saved fuzz inputs (the committed corpus and the inputs of past findings)
// through the fuzz targets, so a fault a fuzzer once found stays fixed in every build.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "targets.h"

namespace quillmere::fuzz {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_of(std::string_view target) {
  std::vector<fs::path> files;
  for (const char* folder : {"regressions", "corpus"}) {
    const fs::path dir = fs::path(QM_FUZZ_DIR) / folder / target;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

class SavedInputs : public ::testing::TestWithParam<Target> {};

TEST_P(SavedInputs, HoldEveryProperty) {
  const auto files = inputs_of(GetParam().name);
  for (const auto& file : files) {
    SCOPED_TRACE(file.string());
    std::ifstream in(file, std::ios::binary);
    ASSERT_TRUE(in.good());
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    GetParam().run(bytes);  // a failed property aborts with its message
  }
  if (files.empty()) GTEST_SKIP() << "no saved inputs";
}

INSTANTIATE_TEST_SUITE_P(Targets, SavedInputs, ::testing::ValuesIn(kTargets),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace quillmere::fuzz
