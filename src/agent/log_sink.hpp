// The process logger's view of a host LogCallback.
#pragma once

#include <cstdint>
#include <string>

#include "velno_core.h"

namespace velno {

// Hands each message to the host as a malloc'd copy that the host owns.
class LogSink {
 public:
  explicit LogSink(LogCallback callback) : callback_(callback) {}
  void operator()(uint32_t level, std::string message) const;

 private:
  LogCallback callback_;
};

}  // namespace velno
