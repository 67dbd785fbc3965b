#include "tests/linux_test_util.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace linux_test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  char pattern[] = "/tmp/tokenmode-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code error;
  fs::remove_all(path_, error);
}

void WriteFile(const std::string& root, const std::string& relative, const std::string& text) {
  const fs::path file = fs::path(root) / relative;
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text << "\n";
}

void Link(const std::string& root, const std::string& relative, const std::string& target) {
  const fs::path link = fs::path(root) / relative;
  fs::create_directories(link.parent_path());
  fs::create_directory_symlink(target, link);
}

}  // namespace linux_test
