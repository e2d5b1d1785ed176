// The picture stage of wincheck (see avatar_check.h).
#include "apps/wincheck/avatar_check.h"

#include <windows.h>

#include <fstream>
#include <optional>

#include "hostsim/profile.h"

namespace wincheck {
namespace {

constexpr int kWaitMs = 30000;

std::optional<hostsim::AckRecord> avatar_ack(hostsim::Host& host, const std::string& module,
                                             hostsim::Handle contact) {
  for (const hostsim::AckRecord& ack : host.acks())
    if (ack.module == module && ack.type == ACKTYPE_AVATAR && ack.contact == contact) return ack;
  return std::nullopt;
}

hostsim::Handle contact_of(hostsim::Host& host, const std::string& module, const std::string& email) {
  for (hostsim::Handle contact : host.profile().contacts()) {
    auto address = host.setting(contact, module, "EMail");
    if (address && address->text == email) return contact;
  }
  return 0;
}

bool begins_as_jpeg(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char head[3] = {};
  in.read(reinterpret_cast<char*>(head), sizeof head);
  return in && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

}  // namespace

void check_avatar(Report& report, hostsim::Host& host, const std::string& module, const std::string& email,
                  uint16_t avatar_port) {
  host.write_setting(0, module, "AvatarServer",
                     hostsim::Setting::string("127.0.0.1:" + std::to_string(avatar_port)));
  hostsim::Handle contact = contact_of(host, module, email);
  if (!report.check("picture stage: the contact exists", contact != 0, "no contact " + email)) return;
  const std::string service = module + "/GetAvatarInformation";
  AvatarInformation information{};
  information.size = sizeof information;
  information.contact = reinterpret_cast<HANDLE>(contact);
  INT_PTR first = host.call_service(service, 0, reinterpret_cast<LPARAM>(&information));
  report.check("GetAvatarInformation says to wait for the picture", first == GAIR_WAITFOR,
               "returned " + std::to_string(first));
  bool acked = host.wait_until([&] { return avatar_ack(host, module, contact).has_value(); }, kWaitMs);
  if (!report.check("the avatar acknowledgement comes", acked, "none within 30 s")) return;
  hostsim::AckRecord ack = *avatar_ack(host, module, contact);
  const std::string path = ack.avatar_path.value_or("");
  report.check("it names a JPEG file in the profile's folder",
               ack.result == ACKRESULT_SUCCESS && ack.avatar_format == PA_FORMAT_JPEG &&
                   path.rfind(host.profile_folder(), 0) == 0 && begins_as_jpeg(path),
               "result " + std::to_string(ack.result) + ", format " + std::to_string(ack.avatar_format) +
                   ", " + quoted(path));
  information = AvatarInformation{};
  information.size = sizeof information;
  information.contact = reinterpret_cast<HANDLE>(contact);
  INT_PTR again = host.call_service(service, 0, reinterpret_cast<LPARAM>(&information));
  report.check("the next request answers from the cache at once",
               again == GAIR_SUCCESS && path == information.filename,
               "returned " + std::to_string(again) + ", " + quoted(information.filename));
}

}  // namespace wincheck
