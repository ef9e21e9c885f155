#include "agent/log_sink.hpp"

#include "common/host_text.hpp"

namespace velno {

void LogSink::operator()(uint32_t level, std::string message) const {
  callback_(level, string_to_host_text(message));
}

}  // namespace velno
