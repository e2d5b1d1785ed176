// The MRIM server stand-in's messages: from one session to another in the receiver's encoding,
// typing notices to the revisions that take them, and messages stored for accounts that are not
// logged in.
#include "serversim/state.h"
#include "serversim/stored.h"

namespace serversim {

using Session = detail::Session;

namespace {

// The flags of the messages a strict store takes: a plain message, with or without its RTF.
constexpr uint32_t kRtfFlag = 0x80;

}  // namespace

Packet Server::Impl::message_ack(const Session& to, uint32_t id, uint32_t flags, const std::string& from,
                                 const std::string& text, const std::string& rtf) {
  flags &= ~message_flag::unicode;
  if (to.unicode()) flags |= message_flag::unicode;
  return message_ack_wire(id, flags, from, to.out_text(text), rtf);
}

Packet Server::Impl::message_ack_wire(uint32_t id, uint32_t flags, const std::string& from,
                                      const std::string& wire_text, const std::string& rtf) {
  Writer w;
  w.ul(id).ul(flags).lps(from).lps(wire_text).lps(rtf);
  if (behavior.message_ack_trailer) w.ul(0).ul(0).ul(0);
  return Packet{code::message_ack, 0, w.take()};
}

// That server's converter gives up on a character 1251 lacks instead of writing "?", and its
// handler ends there.
bool Server::Impl::converts(const Session& to, const std::string& text) const {
  return !behavior.cp1251_converter_fails || to.unicode() || fits_cp1251(text);
}

// Messages go to the recipient's session; one for an account that is not logged in is stored
// and counts as delivered; typing notices are passed on without a status, or dropped. The text
// is read in the sender's encoding and written in the receiver's.
void Server::Impl::on_message(Session& s, const Packet& p) {
  if (!s.info.logged_in) return;
  Reader r(p.body);
  std::optional<uint32_t> flags = r.ul();
  std::optional<std::string> to = r.lps();
  std::optional<std::string> wire_text = r.lps();
  std::optional<std::string> rtf = r.lps();
  auto status = [&](uint32_t value) {
    reply(s, p.code, Packet{code::message_status, p.seq, Writer().ul(value).take()});
  };
  if (!flags || !to || !wire_text) return status(kMessageRejected);
  const bool typing = (*flags & message_flag::notify) != 0;
  std::string text = s.in_text(*wire_text);
  if (behavior.cut_long_messages) text = first_utf16_units(text, kMaxMessageUnits);
  if (behavior.message_authorizes && (*flags & message_flag::authorize)) authorize(s, *to);
  if (Session* target = logged_in_session(*to)) {
    const bool passed_on = !typing || revision::typing_notices(target->info.version);
    // Lost whole: neither the delivery nor the sender's status goes out.
    if (passed_on && !converts(*target, text)) return;
    if (passed_on)
      push(*target, message_ack(*target, next_message_id++, *flags, s.info.email, text, rtf.value_or(" ")));
    if (!typing || behavior.answer_typing) status(kMessageDelivered);
    return;
  }
  if (typing) {
    if (behavior.answer_typing) status(kMessageNotStored);
    return;
  }
  if (Account* a = find_account(*to)) {
    if (behavior.strict_offline_store) {
      if (*flags != 0 && *flags != kRtfFlag) return status(kMessageNotStored);
      if (a->offline.size() >= kMaxStoredMessages) return status(kMessageStoreFull);
    }
    OfflineMessage m;
    m.form = behavior.stored_form;
    m.from = s.info.email;
    m.text = text;
    m.flags = *flags;
    m.id = next_offline_id++;
    a->offline.push_back(std::move(m));
    return status(kMessageDelivered);
  }
  status(kMessageRejected);
}

void Server::Impl::on_delete_offline(Session& s, const Packet& p) {
  Reader r(p.body);
  std::optional<uint32_t> low = r.ul();
  std::optional<uint32_t> high = r.ul();
  Account* a = s.info.logged_in ? find_account(s.info.email) : nullptr;
  if (!a || !low || !high) return;
  if (behavior.delete_offline_wipes_all) return a->offline.clear();
  uint64_t id = uint64_t(*high) << 32 | *low;
  std::erase_if(a->offline, [&](const OfflineMessage& m) { return m.id == id; });
}

// Stored messages keep their forms at every revision: servers hand them out alike to all.
Packet Server::Impl::offline_message(const OfflineMessage& m) const {
  Writer w;
  w.ul(uint32_t(m.id)).ul(uint32_t(m.id >> 32)).lps(stored_message_text(m, server_now()));
  return Packet{code::offline_message_ack, 0, w.take()};
}

}  // namespace serversim
