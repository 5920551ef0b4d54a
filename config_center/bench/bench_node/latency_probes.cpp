#include "bench_node/latency_probes.hpp"

#include <stdexcept>

#include "bench_node/bench_clock.hpp"
#include "support/config_files.hpp"
#include "support/file_arrivals.hpp"

namespace config_center::bench {

std::string RoundValue(const std::string& tag, int round) {
  return tag + " round " + std::to_string(round);
}

ChangeLatencies ProbeChangeLatencies(test::AdminDb& db, const Items& items,
                                     test::Process& latency_target, int rounds,
                                     const std::string& tag) {
  test::FileArrivals arrivals(test::kConfigs);
  ChangeLatencies latencies;
  for (int i = 1; i <= rounds; ++i) {
    const std::string value = RoundValue(tag, i);
    // A file item, then a parameter item, each timed from the commit's return.
    for (const bool file : {true, false}) {
      const int64_t id = file ? items.latency_file_id : items.latency_param_id;
      const auto t0 = Clock::now();
      db.Exec("UPDATE global_config SET value = " + db.Quote(value) +
              " WHERE id = " + std::to_string(id));
      const auto committed = Clock::now();
      latencies.commit_ms.push_back(Ms(committed - t0));
      Clock::time_point seen;
      if (file) {
        if (!arrivals.WaitFor(kLatencyFile, value, t0, committed + 5s, &seen)) {
          throw std::runtime_error("file change " + std::to_string(i) + " never arrived");
        }
        latencies.file_ms.push_back(Ms(seen - committed));
      } else {
        if (!latency_target.WaitFor(LatencyParamLine(value), 5s, &seen)) {
          throw std::runtime_error("parameter change " + std::to_string(i) + " never arrived");
        }
        latencies.param_ms.push_back(Ms(seen - committed));
      }
    }
  }
  return latencies;
}

}  // namespace config_center::bench
