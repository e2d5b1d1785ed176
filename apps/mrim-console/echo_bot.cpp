// The answering account of the embedded server.
#include "echo_bot.h"

#include <chrono>

namespace console {

namespace {

using namespace std::chrono_literals;
namespace code = serversim::code;
namespace flag = serversim::message_flag;
using serversim::Packet;
using serversim::Reader;
using serversim::Writer;

}  // namespace

EchoBot::~EchoBot() { stop(); }

bool EchoBot::start(uint16_t mrim_port, std::string& error) {
  // A modern session, so that every script the user types comes back whole.
  client_.set_version(serversim::revision::v1_19);
  if (!client_.connect(mrim_port)) {
    error = "cannot connect to the MRIM service";
    return false;
  }
  std::optional<Packet> hello = client_.hello();
  if (!hello) {
    error = "no greeting from the MRIM service";
    return false;
  }
  if (std::optional<uint32_t> period = Reader(hello->body).ul(); period && *period > 0)
    ping_period_ = *period;
  serversim::LoginDetails details;
  details.client = "client=\"mrim-console answering account\"";
  uint32_t seq =
      client_.request(code::login2, serversim::login_body(client_.version(), email_, password_, details));
  std::optional<Packet> reply = client_.read_reply(seq);
  if (!reply || reply->code != code::login_ack) {
    error = "log-in of " + email_ + " refused";
    return false;
  }
  thread_ = std::thread([this] { run(); });
  return true;
}

void EchoBot::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  client_.close();
}

void EchoBot::run() {
  // Pings at half the server's period, so the session is never taken for idle.
  auto ping_every = std::chrono::milliseconds(ping_period_ * 500);
  auto next_ping = std::chrono::steady_clock::now() + ping_every;
  while (!stop_) {
    // Short reads, so that stop() is noticed soon.
    std::optional<Packet> packet = client_.read(200ms);
    if (packet) answer(*packet);
    if (!packet && client_.peer_closed()) return;
    if (std::chrono::steady_clock::now() >= next_ping) {
      client_.request(code::ping);
      next_ping = std::chrono::steady_clock::now() + ping_every;
    }
  }
}

void EchoBot::answer(const Packet& packet) {
  if (packet.code == code::offline_message_ack) {
    // Messages stored while the bot was away are dropped: nobody waits for those answers.
    Reader r(packet.body);
    std::optional<uint32_t> low = r.ul(), high = r.ul();
    if (low && high)
      client_.send(
          Packet{code::delete_offline_message, client_.next_seq(), Writer().ul(*low).ul(*high).take()});
    return;
  }
  if (packet.code != code::message_ack) return;
  Reader r(packet.body);
  std::optional<uint32_t> id = r.ul(), flags = r.ul();
  std::optional<std::string> from = r.lps(), text = r.lps();
  if (!id || !flags || !from || !text) return;
  // The text as the server marked it; the answer goes back in the session's own form.
  std::string said = *flags & flag::unicode ? client_.from_text(*text) : serversim::cp1251_to_utf8(*text);
  if (*flags & flag::notify) return;
  if (!(*flags & flag::norecv))
    client_.send(Packet{code::message_recv, 0, Writer().lps(*from).ul(*id).take()});
  if (*flags & flag::authorize) {
    client_.request(code::authorize, Writer().lps(*from).take());
    return;
  }
  // A typing notice first, so the person at the console sees the answer coming.
  client_.request(code::message,
                  Writer().ul(flag::notify | flag::norecv).lps(*from).lps(" ").lps(" ").take());
  for (int i = 0; i < 5 && !stop_; ++i) std::this_thread::sleep_for(100ms);
  // Contacts go back as contacts, so that the console's user sees how received ones look.
  if (*flags & flag::contact) {
    client_.request(code::message,
                    Writer().ul(flag::contact).lps(*from).lps(client_.text(said)).lps(" ").take());
    return;
  }
  client_.request(code::message,
                  Writer().ul(0).lps(*from).lps(client_.text("You said: " + said)).lps(" ").take());
}

}  // namespace console
