// The MRIM server stand-in inside the console (--server embedded): both services on loopback
// ports of the system's choosing, the demo accounts (or those of --accounts), an answering bot
// for every account whose address begins with "echo@", and the routes that point the server the
// address service names and the fallback address at the MRIM service (the session makes the
// address service the account's server).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "echo_bot.h"
#include "hostsim/netlib.h"
#include "serversim/server.h"

namespace console {

// The demo accounts built into the console (demo-accounts.conf).
extern const char* const kDemoAccounts;

class EmbeddedServer {
 public:
  // Whether the profile holds the offline message already (to, from, text in code page 1251).
  using Delivered = std::function<bool(const std::string&, const std::string&, const std::string&)>;
  // accounts_file empty: the demo accounts. Null with a reason in `error` on failure. The
  // server forgets the offline messages it delivered when the console ends; those the profile
  // holds are not stored again.
  static std::unique_ptr<EmbeddedServer> start(const std::string& accounts_file, std::string& error,
                                               const Delivered& delivered = {});
  ~EmbeddedServer();

  void add_routes(hostsim::Netlib& netlib) const;
  uint16_t address_port() const { return server_->address_port(); }
  uint16_t mrim_port() const { return server_->mrim_port(); }
  std::vector<std::string> answering() const;

 private:
  std::unique_ptr<serversim::Server> server_;
  std::vector<std::unique_ptr<EchoBot>> bots_;
};

}  // namespace console
