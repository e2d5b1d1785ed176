// The MRIM server stand-in inside the console (--server embedded): its services (the address
// service, MRIM and contacts' pictures) on loopback ports of the system's choosing, the demo
// accounts (or those of --accounts), an answering bot for every account whose address begins
// with "echo@", and the routes that point the server the address service names and the fallback
// address at the MRIM service (the session makes the address service the account's server). Its
// TLS certificate is kept beside a profile file, so that the certificate the plug-in pinned is
// the one it meets at the next start.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "echo_bot.h"
#include "hostsim/netlib.h"
#include "serversim/server.h"

namespace console {

// The demo accounts built into the console (demo-accounts.conf).
extern const char* const kDemoAccounts;

// Where the embedded server keeps its certificate and key for the profile FILE: FILE.tls-cert.pem
// and FILE.tls-key.pem (the key readable by its owner alone); none for the in-memory profile.
struct CertificateFiles {
  std::string certificate;
  std::string key;
};
std::optional<CertificateFiles> certificate_files_for(const std::string& profile);

class EmbeddedServer {
 public:
  // Whether the profile holds the offline message already (to, from, text in code page 1251).
  using Delivered = std::function<bool(const std::string&, const std::string&, const std::string&)>;
  // accounts_file empty: the demo accounts. Without `kept` a new certificate serves this run
  // alone; with it the certificate of those files, made there when both are missing. Null with a
  // reason in `error` on failure. The server forgets the offline messages it delivered when the
  // console ends; those the profile holds are not stored again.
  // `community`: with every quirk of a widely used community server.
  static std::unique_ptr<EmbeddedServer> start(const std::string& accounts_file,
                                               const std::optional<CertificateFiles>& kept,
                                               std::string& error, const Delivered& delivered = {},
                                               bool community = false);
  ~EmbeddedServer();

  void add_routes(hostsim::Netlib& netlib) const;
  uint16_t address_port() const { return server_->address_port(); }
  uint16_t mrim_port() const { return server_->mrim_port(); }
  // Its picture service, for the account's "AvatarServer".
  uint16_t avatar_port() const { return server_->avatar_port(); }
  std::vector<std::string> answering() const;

 private:
  std::unique_ptr<serversim::Server> server_;
  std::vector<std::unique_ptr<EchoBot>> bots_;
};

}  // namespace console
