// A plug-in loaded into a host stand-in under a chosen module name, in a private working folder.
#include "support/plugin_session.h"

#include <chrono>
#include <thread>
#include <vector>

namespace testsupport {

PluginSession::PluginSession(std::string module, const std::string& plugin)
    : module_(std::move(module)), path_(plugin_copy(module_, folder_.path(), plugin)) {}

PluginSession::~PluginSession() { unload(); }

bool PluginSession::load_without_modules_loaded() {
  loaded_ = host_.load_plugin(path_);
  return loaded_;
}

bool PluginSession::load() {
  if (!load_without_modules_loaded()) return false;
  host_.modules_loaded();
  return true;
}

void PluginSession::unload() {
  if (!loaded_) return;
  host_.unload_plugins();
  loaded_ = false;
}

INT_PTR PluginSession::call(const std::string& suffix, WPARAM w, LPARAM l) {
  return host_.call_service(service(suffix), w, l);
}

void PluginSession::set_account_text(const std::string& name, const std::string& value) {
  hostsim::Setting setting;
  setting.type = DBVT_ASCIIZ;
  setting.text = value;
  host_.profile().write_setting(0, module_, name, setting);
}

void PluginSession::set_account_password(const std::string& plain) {
  std::vector<char> text(plain.begin(), plain.end());
  text.push_back('\0');
  host_.call_service(MS_DB_CRYPT_ENCODESTRING, text.size(), reinterpret_cast<LPARAM>(text.data()));
  set_account_text("Password", text.data());
}

void PluginSession::set_account_dword(const std::string& name, DWORD value) {
  hostsim::Setting setting;
  setting.type = DBVT_DWORD;
  setting.number = value;
  host_.profile().write_setting(0, module_, name, setting);
}

std::string PluginSession::log() const { return read_file(folder_.file(module_ + ".dbg")); }

bool PluginSession::wait_for_log(const std::string& text, int timeout_ms) {
  // The log is a file the plug-in appends to; there is nothing to be woken by, so look often.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (log().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return log().find(text) != std::string::npos;
}

}  // namespace testsupport
