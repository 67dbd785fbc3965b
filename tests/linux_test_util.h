// Temporary folders and fake sysfs trees for the Linux backend's tests.
#pragma once

#include <string>

namespace linux_test {

// A fresh folder under /tmp, removed with everything in it when the object goes.
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

// Writes `text` and a newline to `root`/`relative`, making the folders on the way.
void WriteFile(const std::string& root, const std::string& relative, const std::string& text);
// Makes `root`/`relative` a symbolic link to `target` (relative to the link's folder).
void Link(const std::string& root, const std::string& relative, const std::string& target);

}  // namespace linux_test
