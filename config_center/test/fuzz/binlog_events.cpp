// Fuzz target: binary-log events as a server (or something posing as one) sends them,
// parsed by the MariaDB client library's event reader and handed to the change feed's
// handling of events. The input is a run of events; the length in each event's header is
// mended to fit what is left (the network delivers whole packets, so the feed never sees an
// event longer than what arrived). The events are read from a file in the binary log's
// format, which the library parses as it parses the stream, without a server.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <mysql.h>
// After mysql.h, which declares what it uses.
#include <mariadb_rpl.h>

#include "tracking/change_log_commits.hpp"
#include "tracking/feed_event.hpp"

namespace {

constexpr size_t kHeader = 19;       // every event's header
constexpr size_t kLengthAt = 9;      // its event_length field (little-endian, 4 bytes)
constexpr size_t kMostEvents = 256;  // enough for several transactions

void Require(bool holds) {
  if (!holds) std::abort();
}

const std::string& Path() {
  static const std::string path = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fuzz_binlog.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern + "/robot-bin.000001";
  }();
  return path;
}

// The input as whole events; returns how many.
size_t Frame(std::string* events) {
  size_t count = 0;
  size_t at = 0;
  while (at + kHeader <= events->size() && count < kMostEvents) {
    uint32_t length = 0;
    std::memcpy(&length, events->data() + at + kLengthAt, sizeof length);
    const size_t left = events->size() - at;
    if (length < kHeader || length > left) {
      length = static_cast<uint32_t>(left);
      std::memcpy(events->data() + at + kLengthAt, &length, sizeof length);
    }
    at += length;
    ++count;
  }
  events->resize(at);
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string events(reinterpret_cast<const char*>(data), size);
  const size_t count = Frame(&events);
  FILE* file = std::fopen(Path().c_str(), "wb");
  Require(file != nullptr);
  Require(std::fwrite("\xfe"
                      "bin",
                      1, 4, file) == 4);
  Require(std::fwrite(events.data(), 1, events.size(), file) == events.size());
  Require(std::fclose(file) == 0);

  MARIADB_RPL* rpl = mariadb_rpl_init(nullptr);
  Require(rpl != nullptr);
  // Length 0: the library copies the name with its NUL (with a length it keeps none, and
  // then reads the name as a C string).
  mariadb_rpl_optionsv(rpl, MARIADB_RPL_FILENAME, Path().c_str(), size_t{0});
  mariadb_rpl_optionsv(rpl, MARIADB_RPL_UNCOMPRESS, 1U);
  if (mariadb_rpl_open(rpl) == 0) {
    config_center::ChangeLogCommits commits;
    config_center::ChangeLogTable table;
    // Exactly as many reads as there are events: the reader leaks an event at the end of a
    // file, which the stream never has.
    for (size_t i = 0; i < count; ++i) {
      MARIADB_RPL_EVENT* event = mariadb_rpl_fetch(rpl, nullptr);
      if (event == nullptr) break;  // a refused event ends the stream, as on the network
      // The rows of the change log's table are decoded too, as the feed decodes them.
      config_center::HandleFeedEvent(rpl, &event, table, true, commits);
      mariadb_free_rpl_event(event);  // null when the table kept it
    }
  }
  mariadb_rpl_close(rpl);
  return 0;
}
