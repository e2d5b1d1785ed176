// mrim-server: runs the MRIM server stand-in (address service and MRIM service) with the
// accounts of a configuration file until SIGINT or SIGTERM.
//
//   mrim-server --config FILE [--address HOST:PORT] [--mrim HOST:PORT] [--reply TEXT]
//               [--ping SECONDS] [--idle-periods N] [--stored-form FORM]
//
// Port 0 picks a free port; the ports in use are printed on start, one line each.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "serversim/accounts.h"
#include "serversim/server.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: mrim-server --config FILE [--address HOST:PORT] [--mrim HOST:PORT]\n"
               "                   [--reply TEXT] [--ping SECONDS] [--idle-periods N]\n"
               "                   [--stored-form plain|boundary|modern|utf8]\n"
               "  --address      address service (default 127.0.0.1:0)\n"
               "  --mrim         MRIM service (default 127.0.0.1:0)\n"
               "  --reply        what the address service answers, CR LF added\n"
               "                 (default: the MRIM service's HOST:PORT)\n"
               "  --ping         keep-alive period announced to clients (default 30)\n"
               "  --idle-periods silent periods after which a session is dropped (default 3)\n"
               "  --stored-form  form of messages stored for absent users (default modern)\n");
}

bool to_number(const char* text, unsigned long& out) {
  char* end = nullptr;
  out = std::strtoul(text, &end, 10);
  return *text != '\0' && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  serversim::Settings settings;
  std::string config;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage();
      return 0;
    }
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
    } else if (arg == "--mrim") {
      settings.mrim_listen = value;
    } else if (arg == "--reply") {
      settings.behavior.address_reply = std::string(value) + "\r\n";
    } else if (arg == "--ping" && to_number(value, number)) {
      settings.behavior.ping_period = uint32_t(number);
    } else if (arg == "--idle-periods" && to_number(value, number)) {
      settings.behavior.idle_periods = uint32_t(number);
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
    serversim::Server server(std::move(settings));
    server.start();
    std::printf("mrim-server: %zu accounts\n", accounts);
    std::printf("address service on port %u\n", unsigned(server.address_port()));
    std::printf("MRIM service on port %u\n", unsigned(server.mrim_port()));
    std::fflush(stdout);
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    std::printf("mrim-server: stopping on %s\n", signal_number == SIGINT ? "SIGINT" : "SIGTERM");
    server.stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mrim-server: %s\n", e.what());
    return 1;
  }
  return 0;
}
