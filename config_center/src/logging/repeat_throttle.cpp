#include "logging/repeat_throttle.hpp"

#include "logging/logging.hpp"

namespace config_center {

void RepeatThrottle::ReportLeftOut() {
  if (left_out_ == 0) return;
  LOG_ERROR("The last failure repeated {} more times; those repeats were left out of the log",
            left_out_);
  left_out_ = 0;
}

}  // namespace config_center
