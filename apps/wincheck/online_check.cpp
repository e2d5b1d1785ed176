// The online stage of wincheck: the real MRIM.dll goes online, changes its status and goes
// offline against the MRIM server stand-in on loopback, through the host stand-in's network
// library on Windows sockets.
#include "apps/wincheck/online_check.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>
#include <vector>

#include "hostsim/netlib.h"
#include "protocol/online.h"

namespace wincheck {
namespace {

// The name the stand-in's address service answers with (scripts/wine-check.sh gives it
// "--reply wincheck.test:443"); routed here to the stand-in's MRIM service.
const char* const kServerName = "wincheck.test";
constexpr int kWaitMs = 20000;

bool has_status_ack(hostsim::Host& host, const std::string& module, int from, int to) {
  for (const hostsim::AckRecord& ack : host.acks())
    if (ack.module == module && ack.type == ACKTYPE_STATUS && ack.result == ACKRESULT_SUCCESS &&
        static_cast<intptr_t>(ack.process) == from && ack.param == to)
      return true;
  return false;
}

std::string status_acks_text(hostsim::Host& host) {
  std::string out;
  for (const hostsim::AckRecord& ack : host.acks()) {
    if (ack.type != ACKTYPE_STATUS) continue;
    char pair[48];
    std::snprintf(pair, sizeof pair, " %ld->%ld", static_cast<long>(ack.process),
                  static_cast<long>(ack.param));
    out.append(pair);
  }
  if (out.empty()) return "no status acknowledgement";
  return "acks:" + out;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Asks for the status and waits for its acknowledgement from -> to.
bool change_status(Report& report, hostsim::Host& host, const std::string& module, int from, int to) {
  const std::string name = "SetStatus " + std::to_string(to) + " acknowledged " + std::to_string(from) +
                           " -> " + std::to_string(to);
  INT_PTR result = host.call_service((module + "/SetStatus").c_str(), static_cast<WPARAM>(to), 0);
  if (!report.check("SetStatus " + std::to_string(to) + " returns 0", result == 0, std::to_string(result)))
    return false;
  bool acked = host.wait_until([&] { return has_status_ack(host, module, from, to); }, kWaitMs);
  if (!report.check(name, acked, status_acks_text(host))) return false;
  INT_PTR status = host.call_service((module + "/GetStatus").c_str(), 0, 0);
  return report.check("GetStatus " + std::to_string(to), status == to, std::to_string(status));
}

}  // namespace

void check_online(Report& report, hostsim::Host& host, const std::string& module, const std::string& log_file,
                  const std::string& email, const std::string& password, const OnlineServer& server) {
  hostsim::Netlib& netlib = host.netlib();
  // The account names the stand-in's address service, as a user would on the options page.
  const std::string service = "127.0.0.1:" + std::to_string(server.address_port);
  host.write_setting(0, module, "Server", hostsim::Setting::string("127.0.0.1"));
  host.write_setting(0, module, "Port", hostsim::Setting::dword(server.address_port));
  netlib.add_route(kServerName, 443, "127.0.0.1", server.mrim_port);

  if (!change_status(report, host, module, ID_STATUS_OFFLINE, ID_STATUS_ONLINE)) return;
  std::vector<std::string> opened = netlib.open_requests();
  std::string opened_text;
  for (const std::string& address : opened) opened_text += " " + address;
  report.check("asked the account's address service, then the server it named",
               opened == std::vector<std::string>{service, std::string(kServerName) + ":443"},
               "opened" + opened_text);
  // The stand-in offers TLS: the session runs inside the system's TLS, its certificate pinned.
  char security[256] = "";
  INT_PTR secure = host.call_service((module + "/ConnectionSecurity").c_str(), sizeof security,
                                     reinterpret_cast<LPARAM>(security));
  report.check("the session is encrypted", secure == 1, security);
  auto pin = host.setting(0, module, "CertificatePin");
  report.check("the server's certificate is pinned on first use", pin && pin->text.size() == 64,
               pin ? pin->text : "no pin");
  change_status(report, host, module, ID_STATUS_ONLINE, ID_STATUS_AWAY);
  change_status(report, host, module, ID_STATUS_AWAY, ID_STATUS_OFFLINE);
  // Going offline closes the receiver and the connection before "/SetStatus" returns.
  report.check("no connection left open after going offline", netlib.open_connections() == 0,
               std::to_string(netlib.open_connections()) + " still open");

  std::string log = read_all(log_file);
  std::vector<std::string> lines;
  lines.push_back(std::string("MRIM_ConnectAndLoginThread: server address is ") + kServerName + ":443");
  lines.push_back("TLS: the session is encrypted");
  lines.push_back("mrim_do_hello: ended ok");
  lines.push_back("mrim_do_login: MRIM_CS_LOGIN2(" + email + ",<pass>,1,");
  lines.push_back("mrim_do_login: ended ok");
  lines.push_back("mrim_do_changestatus: MRIM_CS_CHANGE_STATUS(1) sended");
  lines.push_back("mrim_do_changestatus: MRIM_CS_CHANGE_STATUS(2) sended");
  for (const std::string& line : lines)
    report.check("log has \"" + line + "\"", log.find(line) != std::string::npos, "missing");
  report.check("log holds no password after going online", log.find(password) == std::string::npos,
               "the password is logged");
}

}  // namespace wincheck
