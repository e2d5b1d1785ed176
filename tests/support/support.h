// Shared test helpers: where the built plug-in lies, copies of it under other names (the module
// name comes from the file name, so a copy named chat.so loads as the account "chat"), and a
// private working folder per test, where the plug-in writes its log.
#pragma once

#include <cstdint>
#include <string>

namespace testsupport {

// The diagnostic build, which the tests load unless they ask for the release build.
std::string plugin_path();
std::string release_plugin_path();

// Copies the built plug-in (or the file given) to <dir>/<module_name>.so and returns that path.
std::string plugin_copy(const std::string& module_name, const std::string& dir,
                        const std::string& plugin = plugin_path());

std::string read_file(const std::string& path);

// Seconds since 1970 from the precise system clock. time() reads a coarse clock that can lag
// the plug-in's GetSystemTime by a tick, which across a second boundary is a whole second.
uint32_t unix_seconds_now();

// Makes a fresh folder and makes it the current one; gives the old one back and removes the
// folder at the end of its scope.
class WorkFolder {
 public:
  WorkFolder();
  ~WorkFolder();
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::string previous_;
};

}  // namespace testsupport
