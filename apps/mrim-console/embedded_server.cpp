// The MRIM server stand-in inside the console.
#include "embedded_server.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "protocol/online.h"
#include "serversim/accounts.h"

namespace console {

namespace {

// What the embedded address service answers: a name on port 443, as the plug-in accepts only
// that; the route below takes the name to the MRIM service's real port.
constexpr const char* kServerName = "embedded.mrim.test";

bool read_file(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  text = out.str();
  return static_cast<bool>(in);
}

// Only a file that is not there yet: one that is (made meanwhile by another console on the same
// profile) is left as it is. The mode is narrowed further by the umask, never widened.
bool write_new_file(const std::string& path, const std::string& text, mode_t mode, std::string& error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  bool written = fd >= 0;
  for (size_t done = 0; written && done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) done += static_cast<size_t>(n);
  }
  if (!written) error = path + ": " + std::strerror(errno);
  if (fd >= 0 && close(fd) != 0 && written) {
    error = path + ": " + std::strerror(errno);
    written = false;
  }
  return written;
}

// The kept certificate, made first when neither file is there; "" or why it cannot be used.
std::string use_kept_certificate(serversim::Server& server, const CertificateFiles& files) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  bool have_certificate = fs::exists(files.certificate, ignored), have_key = fs::exists(files.key, ignored);
  std::string certificate, key, error;
  if (!have_certificate && !have_key) {
    serversim::Server::make_certificate(certificate, key);
    // The key first: a certificate on its own would be a pair half made.
    if (!write_new_file(files.key, key, 0600, error)) return error;
    if (!write_new_file(files.certificate, certificate, 0644, error)) {
      fs::remove(files.key, ignored);
      return error;
    }
  } else if (!have_certificate || !have_key) {
    const std::string& there = have_certificate ? files.certificate : files.key;
    const std::string& missing = have_certificate ? files.key : files.certificate;
    return missing + " is missing (remove " + there + " as well for a new certificate)";
  } else if (!read_file(files.certificate, certificate) || !read_file(files.key, key)) {
    return "cannot read " + files.certificate + " or " + files.key;
  }
  try {
    server.use_certificate(certificate, key);
  } catch (const std::invalid_argument& e) {
    return files.certificate + " and " + files.key + ": " + e.what() + " (remove both for a new certificate)";
  }
  return "";
}

}  // namespace

std::optional<CertificateFiles> certificate_files_for(const std::string& profile) {
  if (profile == ":memory:") return std::nullopt;
  return CertificateFiles{profile + ".tls-cert.pem", profile + ".tls-key.pem"};
}

std::unique_ptr<EmbeddedServer> EmbeddedServer::start(const std::string& accounts_file,
                                                      const std::optional<CertificateFiles>& kept,
                                                      std::string& error, const Delivered& delivered,
                                                      bool community) {
  serversim::Settings settings;
  if (community) settings.behavior = serversim::Behavior::community();
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
  if (kept) {
    std::string why = use_kept_certificate(*embedded->server_, *kept);
    if (!why.empty()) {
      error = "embedded server's certificate: " + why;
      return nullptr;
    }
  }
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
