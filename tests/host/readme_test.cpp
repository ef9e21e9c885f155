// The README shows hosts real code, and docs/errors.md the library's own table of error
// kinds: both are held to what is built and answered, so that neither can drift.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/did_error.hpp"
#include "host/host_library.hpp"
#include "support/test_support.hpp"

namespace velno::host {
namespace {

const std::string kReadme = std::string(VELNO_SOURCE_DIR) + "/README.md";
const std::string kErrorKindsPage = std::string(VELNO_SOURCE_DIR) + "/docs/errors.md";

std::string trim(const std::string& line) {
  const auto first = line.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return line.substr(first, line.find_last_not_of(" \t") - first + 1);
}

// The text's lines without their indentation, blank lines left out.
std::string normalized(const std::string& text) {
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    line = trim(line);
    if (!line.empty()) out += line + "\n";
  }
  return out;
}

// Every fenced block of `language` in the text, fences excluded.
std::vector<std::string> fenced_blocks(const std::string& text, const std::string& language) {
  std::vector<std::string> blocks;
  const std::string open = "```" + language + "\n";
  for (std::size_t at = text.find(open); at != std::string::npos; at = text.find(open, at)) {
    const std::size_t begin = at + open.size();
    const std::size_t end = text.find("```", begin);
    if (end == std::string::npos) break;
    blocks.push_back(text.substr(begin, end - begin));
    at = end + 3;
  }
  return blocks;
}

TEST(Readme, EveryCodeBlockIsPartOfTheProgramThatRuns) {
  const std::string readme = test::read_file(kReadme);
  const std::pair<const char*, const char*> programs[] = {{"c", "/examples/demo_host.c"},
                                                         {"python", "/examples/ctypes_host.py"}};
  for (const auto& [language, file] : programs) {
    const std::string program = normalized(test::read_file(std::string(VELNO_SOURCE_DIR) + file));
    const auto blocks = fenced_blocks(readme, language);
    EXPECT_FALSE(blocks.empty()) << language;
    for (const std::string& block : blocks) {
      EXPECT_NE(program.find(normalized(block)), std::string::npos) << "not in " << file << ":\n" << block;
    }
  }
}

TEST(Readme, ShowsTheFirstProgramWhole) {
  const auto blocks = fenced_blocks(test::read_file(kReadme), "c");
  ASSERT_FALSE(blocks.empty());
  EXPECT_EQ(blocks.front(), test::read_file(std::string(VELNO_SOURCE_DIR) + "/examples/demo_host.c"));
}

// The rows "| `<kind>` | <description> | ..." of the page on error kinds.
std::vector<std::pair<std::string, std::string>> documented_error_kinds() {
  std::istringstream in(test::read_file(kErrorKindsPage));
  std::vector<std::pair<std::string, std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("| `", 0) != 0) continue;
    const std::size_t name_end = line.find("` | ", 3);
    const std::size_t description_end = line.find(" |", name_end + 4);
    if (name_end == std::string::npos || description_end == std::string::npos) continue;
    rows.emplace_back(line.substr(3, name_end - 3), line.substr(name_end + 4, description_end - name_end - 4));
  }
  return rows;
}

TEST(Docs, ErrorKindsPageListsEveryKindWithTheDescriptionExplainErrorCodeAnswers) {
  std::vector<std::pair<std::string, std::string>> library;
  for (uint32_t i = 0; i < kDidErrorKindCount; ++i) {
    const auto kind = static_cast<DidErrorKind>(i);
    library.emplace_back(std::string(kind_name(kind)), std::string(kind_description(kind)));
  }
  const auto rows = documented_error_kinds();
  EXPECT_EQ(rows, library);
  for (const auto& [name, description] : rows) {
    const nlohmann::json expected = {{"code", "OK"}, {"value", {{"code", name}, {"description", description}}}};
    EXPECT_EQ(nlohmann::json::parse(call(&Library::explain_error_code, name.c_str())), expected) << name;
  }
}

}  // namespace
}  // namespace velno::host
