// Shared test helpers: the built plug-in, copies of it, files and private working folders.
#include "support/support.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace fs = std::filesystem;

std::string plugin_path() { return MRIM_PLUGIN_PATH; }
std::string release_plugin_path() { return MRIM_RELEASE_PLUGIN_PATH; }

std::string plugin_copy(const std::string& module_name, const std::string& dir, const std::string& plugin) {
  fs::path target = fs::path(dir) / (module_name + ".so");
  fs::copy_file(plugin, target, fs::copy_options::overwrite_existing);
  return target.string();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

uint32_t unix_seconds_now() {
  auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count());
}

WorkFolder::WorkFolder() {
  std::string pattern = (fs::temp_directory_path() / "mrim-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  previous_ = fs::current_path().string();
  fs::current_path(path_);
}

WorkFolder::~WorkFolder() {
  std::error_code ignored;
  fs::current_path(previous_, ignored);
  fs::remove_all(path_, ignored);
}

}  // namespace testsupport
