#include "agent/log_sink.hpp"

#include "common/host_text.hpp"

namespace velno {

void LogSink::operator()(uint32_t level, std::string message) const {
  // A record that finds no memory for the host's copy is dropped.
  if (char* text = host_text_or_null(message)) callback_(level, text);
}

}  // namespace velno
