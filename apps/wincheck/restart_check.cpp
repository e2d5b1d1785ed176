// The server-restart stage of wincheck (see restart_check.h).
#include "apps/wincheck/restart_check.h"

#include <windows.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <vector>

namespace wincheck {
namespace {

constexpr int kWaitMs = 30000;
const char kRequestFile[] = "server-request";
const char kAnswerFile[] = "server-ready";

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

// Asks the script for a restart and waits for its answer: the SHA-256 the restarted stand-in
// shows (empty without TLS), or nothing when it did not come back.
std::optional<std::string> restart_server(const std::string& word) {
  DeleteFileA(kAnswerFile);
  // Written whole under another name first: the script never reads half a word.
  {
    std::ofstream out("server-request.tmp", std::ios::binary | std::ios::trunc);
    out << word << '\n';
  }
  if (!MoveFileExA("server-request.tmp", kRequestFile, MOVEFILE_REPLACE_EXISTING)) return std::nullopt;
  // Polled: the host's own waits wake only on what happens inside the host.
  std::string answer;
  for (int waited = 0; waited < kWaitMs; waited += 50) {
    answer = read_all(kAnswerFile);
    if (!answer.empty() && answer.back() == '\n') break;
    Sleep(50);
  }
  DeleteFileA(kAnswerFile);
  std::istringstream fields(answer);
  std::string said, fingerprint;
  fields >> said >> fingerprint;
  if (said != word) return std::nullopt;
  return fingerprint;
}

// The first acknowledgement from `skip` on that matches.
bool acked_since(hostsim::Host& host, const std::string& module, size_t skip, int type, int result,
                 LPARAM param) {
  std::vector<hostsim::AckRecord> acks = host.acks();
  for (size_t i = skip; i < acks.size(); ++i)
    if (acks[i].module == module && acks[i].type == type && acks[i].result == result &&
        acks[i].param == param)
      return true;
  return false;
}

std::string security_line(hostsim::Host& host, const std::string& module, INT_PTR* secure) {
  char line[256] = "";
  *secure = host.call_service((module + "/ConnectionSecurity").c_str(), sizeof line,
                              reinterpret_cast<LPARAM>(line));
  return line;
}

std::string pin_of(hostsim::Host& host, const std::string& module) {
  auto pin = host.setting(0, module, "CertificatePin");
  return pin ? pin->text : "";
}

}  // namespace

void check_restarts(Report& report, hostsim::Host& host, const std::string& module,
                    const std::string& log_file) {
  const std::string set_status = module + "/SetStatus";
  // A log-in refused as the wrong protocol, after the acknowledgements the host had at `since`.
  auto refused_since = [&](size_t since) {
    return host.wait_until(
        [&] {
          return acked_since(host, module, since, ACKTYPE_LOGIN, ACKRESULT_FAILED, LOGINERR_WRONGPROTOCOL);
        },
        kWaitMs);
  };
  const std::string pin = pin_of(host, module);
  size_t mark = host.acks().size();
  host.call_service(set_status.c_str(), ID_STATUS_ONLINE, 0);
  bool online = host.wait_until(
      [&] { return acked_since(host, module, mark, ACKTYPE_STATUS, ACKRESULT_SUCCESS, ID_STATUS_ONLINE); },
      kWaitMs);
  if (!report.check("restart stage: online inside TLS", online, "no status acknowledgement")) return;

  // A server that crashes and comes back with its certificate: the account follows by itself.
  mark = host.acks().size();
  std::optional<std::string> same = restart_server("same");
  if (!report.check("the server stand-in restarts with the same certificate", same && *same == pin,
                    same ? "it shows " + *same + ", the pin is " + pin : "no answer from the script"))
    return;
  bool back = host.wait_until(
      [&] {
        return acked_since(host, module, mark, ACKTYPE_STATUS, ACKRESULT_SUCCESS, ID_STATUS_OFFLINE) &&
               host.call_service((module + "/GetStatus").c_str(), 0, 0) == ID_STATUS_ONLINE;
      },
      kWaitMs);
  INT_PTR secure = 0;
  std::string line = security_line(host, module, &secure);
  report.check("the account went offline with the server and came back online by itself", back,
               "status " + std::to_string(host.call_service((module + "/GetStatus").c_str(), 0, 0)));
  report.check("back inside TLS with the pinned certificate",
               secure == 1 && line.find(pin) != std::string::npos, line);

  // The server comes back with another certificate: refused, the pin kept, nothing sent.
  std::string log = read_all(log_file);
  const size_t logins = count_of(log, "MRIM_CS_LOGIN2(");
  mark = host.acks().size();
  std::optional<std::string> fresh = restart_server("new");
  if (!report.check("the server stand-in restarts with a new certificate",
                    fresh && fresh->size() == 64 && *fresh != pin,
                    fresh ? "it shows " + *fresh : "no answer from the script"))
    return;
  bool refused = refused_since(mark);
  line = security_line(host, module, &secure);
  report.check("a new certificate is refused (wrong protocol)", refused, "no refusal");
  report.check("the refusal's line names the new certificate and the pinned one",
               secure == 0 && line.find("not trusted") != std::string::npos &&
                   line.find(*fresh) != std::string::npos && line.find(pin) != std::string::npos,
               line);
  report.check("the pin is kept", pin_of(host, module) == pin, pin_of(host, module));
  // A refusal is final: a planned try would show in "ReconnectIn" right after it.
  Sleep(1500);
  auto plan = host.setting(0, module, "ReconnectIn");
  report.check("no try planned after the refusal", !plan || plan->number == 0,
               "ReconnectIn " + std::to_string(plan ? plan->number : 0));
  log = read_all(log_file);
  report.check("no log-in went to the server with the new certificate",
               count_of(log, "MRIM_CS_LOGIN2(") == logins,
               std::to_string(count_of(log, "MRIM_CS_LOGIN2(") - logins) + " log-ins");

  // Encryption required of a server that offers none: refused before the log-in.
  std::optional<std::string> clear = restart_server("clear");
  if (!report.check("the server stand-in restarts offering no TLS", clear && clear->empty(),
                    clear ? "it shows " + *clear : "no answer from the script"))
    return;
  host.write_setting(0, module, "Encryption", hostsim::Setting::byte(2));
  mark = host.acks().size();
  host.call_service(set_status.c_str(), ID_STATUS_ONLINE, 0);
  refused = refused_since(mark);
  line = security_line(host, module, &secure);
  report.check("\"Encryption\" 2 against a server without TLS is refused", refused, "no refusal");
  report.check("the refusal's line says the server offers no encryption",
               line.find("the server offers no encryption") != std::string::npos, line);
  log = read_all(log_file);
  report.check("no log-in went to the server without TLS", count_of(log, "MRIM_CS_LOGIN2(") == logins,
               std::to_string(count_of(log, "MRIM_CS_LOGIN2(") - logins) + " log-ins");
  report.check("offline after the refusals",
               host.call_service((module + "/GetStatus").c_str(), 0, 0) == ID_STATUS_OFFLINE, "not offline");
  host.write_setting(0, module, "Encryption", hostsim::Setting::byte(1));
}

}  // namespace wincheck
