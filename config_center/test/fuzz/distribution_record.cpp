// Fuzz target: the record of what was distributed, read back from its file (a record that a
// crash, a full disk or a hand edit left in any state). The input is the file's contents.
// A record that loads holds only entries that the record's escaping writes back as they
// are; one that does not load is empty and says why. The input is also read as one escaped
// field.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "distribution/distribution_record.hpp"

namespace {

using config_center::DistributionRecord;

void Require(bool holds) {
  if (!holds) std::abort();
}

const std::string& Directory() {
  static const std::string directory = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/fuzz_distribution_record.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  return directory;
}

// The field written for `text` has no blank, line end or byte outside printable ASCII, and
// reads back as `text`.
void RequireRoundTrip(const std::string& text) {
  const std::string field = DistributionRecord::Escape(text);
  Require(!field.empty());
  for (const char c : field) Require(c > ' ' && c < 0x7f);
  std::string back;
  Require(DistributionRecord::Unescape(field, &back) && back == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string contents(reinterpret_cast<const char*>(data), size);
  const std::string path = Directory() + "/" + DistributionRecord::kFileName;
  FILE* file = std::fopen(path.c_str(), "wb");
  Require(file != nullptr);
  Require(std::fwrite(contents.data(), 1, contents.size(), file) == contents.size());
  Require(std::fclose(file) == 0);

  DistributionRecord record(Directory());
  std::string why;
  if (record.Load(&why)) {
    for (const std::string& name : record.files()) RequireRoundTrip(name);
    for (const auto& [node, name] : record.params()) {
      RequireRoundTrip(node);
      RequireRoundTrip(name);
    }
  } else {
    Require(!why.empty() && record.files().empty() && record.params().empty());
  }
  Require(!record.changed());

  std::string field;
  if (DistributionRecord::Unescape(contents, &field)) RequireRoundTrip(field);
  return 0;
}
