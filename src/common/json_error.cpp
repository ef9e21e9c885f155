#include "common/json_error.hpp"

namespace velno {

JsonError JsonError::at(std::string message, std::size_t line, std::size_t column) {
  return JsonError{std::move(message), line, column};
}

JsonError JsonError::plain(std::string message) { return JsonError{std::move(message), std::nullopt, std::nullopt}; }

std::string JsonError::text() const {
  if (!line || !column) return message;
  return message + " at line " + std::to_string(*line) + " column " + std::to_string(*column);
}

}  // namespace velno
