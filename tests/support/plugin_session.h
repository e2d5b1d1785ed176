// A plug-in loaded into a host stand-in under a chosen module name, in a private working
// folder: the fixture of every test that drives the plug-in through its exports and services.
#pragma once

#include <string>

#include "hostsim/host.h"
#include "hostsim/profile.h"
#include "support/support.h"

namespace testsupport {

class PluginSession {
 public:
  // Loads the file plugin (by default the diagnostic build) as the module.
  explicit PluginSession(std::string module = "MRIM", const std::string& plugin = plugin_path());
  ~PluginSession();

  // Loads the copy and raises the all-modules-loaded event; false when loading failed.
  bool load();
  bool load_without_modules_loaded();
  void unload();
  bool loaded() const { return loaded_; }

  hostsim::Host& host() { return host_; }
  const std::string& module() const { return module_; }
  std::string service(const std::string& suffix) const { return module_ + suffix; }
  INT_PTR call(const std::string& suffix, WPARAM w = 0, LPARAM l = 0);
  // The account's own settings (contact 0, the module's name).
  void set_account_text(const std::string& name, const std::string& value);
  void set_account_dword(const std::string& name, DWORD value);
  // "Password", encoded by the host as the set-up dialog stores it.
  void set_account_password(const std::string& plain);
  std::string log() const;
  // Waits (generously) until the log holds the text.
  bool wait_for_log(const std::string& text, int timeout_ms = 10000);

 private:
  WorkFolder folder_;
  std::string module_;
  std::string path_;
  hostsim::Host host_;
  bool loaded_ = false;
};

}  // namespace testsupport
