// mrim-server: runs the MRIM server stand-in (address service, MRIM service and avatar service)
// with the accounts of a configuration file until SIGINT or SIGTERM.
//
//   mrim-server --config FILE [--address HOST:PORT] [--mrim HOST:PORT] [--address-port PORT]
//               [--port PORT] [--avatar-port PORT] [--reply TEXT] [--ping SECONDS]
//               [--idle-periods N] [--stored-form FORM] [--tls [--tls-cert FILE --tls-key FILE]]
//               [--community]
//
// The usual ports, 2042 for the address service and 2041 for MRIM, are taken when free, so that
// a client finds the server again after a restart; else free ones are picked. The avatar service
// takes a free port unless one is named: the network's own, 8081, is one that many programs on a
// development machine want. Ports named on the command line are used or the start fails; port 0
// picks a free one. The ports in use are printed on start, one line each, and with --tls the
// SHA-256 of the certificate, for clients that pin it.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "serversim/accounts.h"
#include "serversim/server.h"

namespace {

void usage() {
  std::fprintf(
      stderr,
      "usage: mrim-server --config FILE [--address HOST:PORT] [--mrim HOST:PORT]\n"
      "                   [--address-port PORT] [--port PORT] [--avatar-port PORT]\n"
      "                   [--reply TEXT] [--ping SECONDS] [--idle-periods N] [--clock-offset SECONDS]\n"
      "                   [--stored-form plain|boundary|modern|utf8]\n"
      "                   [--tls [--tls-cert FILE --tls-key FILE]] [--community]\n"
      "  --address      address service (default 127.0.0.1:2042 when free, else any port)\n"
      "  --mrim         MRIM service (default 127.0.0.1:2041 when free, else any port)\n"
      "  --address-port PORT  the address service's port on 127.0.0.1\n"
      "  --port         PORT  the MRIM service's port on 127.0.0.1\n"
      "  --avatar-port  PORT  the avatar service's (HTTP) port on 127.0.0.1 (default 0: any)\n"
      "  --reply        what the address service answers, CR LF added\n"
      "                 (default: the MRIM service's HOST:PORT)\n"
      "  --ping         keep-alive period announced to clients (default 30)\n"
      "  --idle-periods silent periods after which a session is dropped (default 3)\n"
      "  --clock-offset seconds the server's clock runs ahead (negative: behind) of this machine's\n"
      "  --stored-form  form of messages stored for absent users (default modern)\n"
      "  --tls          offer TLS to clients that ask before their log-in\n"
      "  --community    behave as a widely used community server, quirks and all (TLS too)\n"
      "  --tls-cert     PEM certificate to serve (default: a self-signed one made at start)\n"
      "  --tls-key      PEM private key of that certificate\n");
}

bool to_number(const char* text, unsigned long& out) {
  char* end = nullptr;
  out = std::strtoul(text, &end, 10);
  return *text != '\0' && *end == '\0';
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

int main(int argc, char** argv) {
  serversim::Settings settings;
  std::string config;
  std::string tls_cert;
  std::string tls_key;
  bool ports_named = false;
  // The quirks are the ground the other options change, wherever it stands.
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--community") settings.behavior = serversim::Behavior::community();
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage();
      return 0;
    }
    if (arg == "--tls") {
      settings.behavior.tls = true;
      continue;
    }
    if (arg == "--community") continue;  // taken before the loop
    if (i + 1 >= argc) {
      std::fprintf(stderr, "mrim-server: %s needs a value\n", arg.c_str());
      usage();
      return 2;
    }
    const char* value = argv[++i];
    unsigned long number = 0;
    if (arg == "--config") {
      config = value;
    } else if (arg == "--address") {
      settings.address_listen = value;
      ports_named = true;
    } else if (arg == "--mrim") {
      settings.mrim_listen = value;
      ports_named = true;
    } else if (arg == "--address-port" && to_number(value, number) && number <= 65535) {
      settings.address_listen = "127.0.0.1:" + std::to_string(number);
      ports_named = true;
    } else if (arg == "--port" && to_number(value, number) && number <= 65535) {
      settings.mrim_listen = "127.0.0.1:" + std::to_string(number);
      ports_named = true;
    } else if (arg == "--avatar-port" && to_number(value, number) && number <= 65535) {
      settings.avatar_listen = "127.0.0.1:" + std::to_string(number);
    } else if (arg == "--reply") {
      settings.behavior.address_reply = std::string(value) + "\r\n";
    } else if (arg == "--ping" && to_number(value, number)) {
      settings.behavior.ping_period = uint32_t(number);
    } else if (arg == "--idle-periods" && to_number(value, number)) {
      settings.behavior.idle_periods = uint32_t(number);
    } else if (arg == "--clock-offset") {
      char* end = nullptr;
      const long long seconds = std::strtoll(value, &end, 10);
      if (*value == '\0' || *end != '\0') {
        usage();
        return 2;
      }
      settings.behavior.clock_offset = std::chrono::seconds(seconds);
    } else if (arg == "--tls-cert") {
      tls_cert = value;
    } else if (arg == "--tls-key") {
      tls_key = value;
    } else if (arg == "--stored-form") {
      std::string form = value;
      if (form == "plain") {
        settings.behavior.stored_form = serversim::OfflineForm::plain;
      } else if (form == "boundary") {
        settings.behavior.stored_form = serversim::OfflineForm::boundary;
      } else if (form == "modern") {
        settings.behavior.stored_form = serversim::OfflineForm::modern;
      } else if (form == "utf8") {
        settings.behavior.stored_form = serversim::OfflineForm::utf8;
      } else {
        std::fprintf(stderr, "mrim-server: unknown stored form %s\n", value);
        return 2;
      }
    } else {
      std::fprintf(stderr, "mrim-server: bad option %s %s\n", arg.c_str(), value);
      usage();
      return 2;
    }
  }
  if (config.empty()) {
    std::fprintf(stderr, "mrim-server: --config is required\n");
    usage();
    return 2;
  }
  if (tls_cert.empty() != tls_key.empty() || (!tls_cert.empty() && !settings.behavior.tls)) {
    std::fprintf(stderr, "mrim-server: --tls-cert and --tls-key go together, with --tls\n");
    return 2;
  }

  // Block the stop signals before the server thread starts, so that only sigwait below sees
  // them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    settings.accounts = serversim::load_accounts(config);
    size_t accounts = settings.accounts.size();
    const bool tls = settings.behavior.tls;
    if (!ports_named) {
      settings.address_listen = "127.0.0.1:2042";
      settings.mrim_listen = "127.0.0.1:2041";
    }
    serversim::Settings fallback = settings;
    auto server = std::make_unique<serversim::Server>(std::move(settings));
    if (!tls_cert.empty()) server->use_certificate(read_file(tls_cert), read_file(tls_key));
    try {
      server->start();
    } catch (const std::exception& e) {
      if (ports_named) throw;
      std::printf("mrim-server: the usual ports 2042 and 2041 are not free (%s); using free ones\n",
                  e.what());
      fallback.address_listen = "127.0.0.1:0";
      fallback.mrim_listen = "127.0.0.1:0";
      server = std::make_unique<serversim::Server>(std::move(fallback));
      if (!tls_cert.empty()) server->use_certificate(read_file(tls_cert), read_file(tls_key));
      server->start();
    }
    std::printf("mrim-server: %zu accounts\n", accounts);
    std::printf("address service on port %u\n", unsigned(server->address_port()));
    std::printf("MRIM service on port %u\n", unsigned(server->mrim_port()));
    std::printf("avatar service on port %u\n", unsigned(server->avatar_port()));
    if (tls) std::printf("TLS offered, certificate SHA-256 %s\n", server->certificate_sha256().c_str());
    std::fflush(stdout);
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    std::printf("mrim-server: stopping on %s\n", signal_number == SIGINT ? "SIGINT" : "SIGTERM");
    server->stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mrim-server: %s\n", e.what());
    return 1;
  }
  return 0;
}
