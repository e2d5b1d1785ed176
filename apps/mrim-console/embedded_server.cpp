// The MRIM server stand-in inside the console.
#include "embedded_server.h"

#include <sstream>

#include "protocol/online.h"
#include "serversim/accounts.h"

namespace console {

namespace {

// What the embedded address service answers: a name on port 443, as the plug-in accepts only
// that; the route below takes the name to the MRIM service's real port.
constexpr const char* kServerName = "embedded.mrim.test";

}  // namespace

std::unique_ptr<EmbeddedServer> EmbeddedServer::start(const std::string& accounts_file, std::string& error,
                                                      const Delivered& delivered) {
  serversim::Settings settings;
  try {
    if (accounts_file.empty()) {
      std::istringstream demo(kDemoAccounts);
      settings.accounts = serversim::parse_accounts(demo);
    } else {
      settings.accounts = serversim::load_accounts(accounts_file);
    }
  } catch (const std::exception& e) {
    error = std::string("accounts: ") + e.what();
    return nullptr;
  }
  if (delivered)
    for (serversim::Account& account : settings.accounts)
      std::erase_if(account.offline, [&](const serversim::OfflineMessage& message) {
        return delivered(account.email, message.from, message.text);
      });
  settings.behavior.address_reply = std::string(kServerName) + ":443\r\n";
  // As servers in use do: a client that asks may turn its connection to TLS.
  settings.behavior.tls = true;
  auto embedded = std::unique_ptr<EmbeddedServer>(new EmbeddedServer());
  std::vector<serversim::Account> accounts = settings.accounts;
  embedded->server_ = std::make_unique<serversim::Server>(std::move(settings));
  try {
    embedded->server_->start();
  } catch (const std::exception& e) {
    error = std::string("embedded server: ") + e.what();
    return nullptr;
  }
  for (const serversim::Account& account : accounts) {
    if (account.email.rfind("echo@", 0) != 0) continue;
    auto bot = std::make_unique<EchoBot>(account.email, account.password);
    if (!bot->start(embedded->server_->mrim_port(), error)) {
      error = "answering account " + account.email + ": " + error;
      return nullptr;
    }
    embedded->bots_.push_back(std::move(bot));
  }
  return embedded;
}

EmbeddedServer::~EmbeddedServer() {
  for (auto& bot : bots_) bot->stop();
  if (server_) server_->stop();
}

void EmbeddedServer::add_routes(hostsim::Netlib& netlib) const {
  netlib.add_route(kServerName, 443, "127.0.0.1", server_->mrim_port());
  netlib.add_route(MRIM_FALLBACK_SERVER_HOST, 443, "127.0.0.1", server_->mrim_port());
}

std::vector<std::string> EmbeddedServer::answering() const {
  std::vector<std::string> emails;
  for (const auto& bot : bots_) emails.push_back(bot->email());
  return emails;
}

}  // namespace console
