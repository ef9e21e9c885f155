// Helpers shared by the test programs.
#pragma once

#include <string>

namespace velno::test {

// A fresh directory under the system's temporary directory, removed with its content
// when the object ends.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The whole content of a file ("" when it cannot be read).
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);

}  // namespace velno::test
