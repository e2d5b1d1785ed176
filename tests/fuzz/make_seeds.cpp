// Writes the seed inputs of hsp_fuzz into a folder: one well-formed packet of every kind the
// dispatcher handles (messages, stored messages in each form, presence, a contact list, account
// information and notices), in the fuzz target's input format: the code's index, then the body.
// Then the servers' ways with order and sequence numbers, as series of packets in a session
// that is logging in: one answer twice under its number, pushes before the log-in's answer, and
// an authorization's answer followed by a status under the status change's code.
#include <cstdio>
#include <string>
#include <vector>

#include "serversim/stored.h"
#include "serversim/text.h"
#include "serversim/wire.h"

namespace {

using serversim::Bytes;
using serversim::Writer;

// Indexes into the fuzz target's table of codes.
enum : uint8_t {
  message,
  offline,
  mailbox,
  user_status,
  contact_list,
  user_info,
  logout,
  params,
  queued,
  message_status,
  add_contact_ack,
  login_ack,
  authorize_ack,
  change_status,
  user_blog_status,
};
// The kind's top bit: the packet of a modern (Unicode) session on a host that takes UTF-8.
constexpr uint8_t kModern = 0x80;
// The kind of a series; its records follow (see hsp_fuzz.cpp).
constexpr uint8_t kSeries = 0x7F;
// The numbers the target's requests await answers under: the log-in's, then a message's and an
// added contact's.
constexpr uint8_t kLoginSeq = 1;
constexpr uint8_t kMessageSeq = 2;
constexpr uint8_t kAddSeq = 3;

void write_seed(const std::string& folder, const std::string& name, uint8_t kind, const Bytes& body) {
  std::string path = folder + "/" + name;
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) {
    perror(path.c_str());
    return;
  }
  fputc(kind, file);
  fwrite(body.data(), 1, body.size(), file);
  fclose(file);
}

// One record of a series: code index, sequence number, body length (two bytes) and body.
void add_record(Bytes& series, uint8_t kind, uint8_t seq, const Bytes& body) {
  series.push_back(kind);
  series.push_back(seq);
  series.push_back(static_cast<uint8_t>(body.size() & 0xFF));
  series.push_back(static_cast<uint8_t>(body.size() >> 8));
  series.insert(series.end(), body.begin(), body.end());
}

std::string stored(serversim::OfflineForm form) {
  serversim::OfflineMessage m;
  m.form = form;
  m.from = "kim@example.org";
  m.text = "hello \xCF\xF0\xE8\xE2\xE5\xF2";
  m.id = 7;
  return serversim::stored_message_text(m, 1796680209);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  std::string folder = argv[1];
  write_seed(folder, "message", message, Writer().ul(1).ul(0).lps("kim@example.org").lps("hi").take());
  write_seed(folder, "typing", message, Writer().ul(2).ul(0x400).lps("kim@example.org").lps("").take());
  write_seed(folder, "auth", message, Writer().ul(3).ul(0x8).lps("amy").lps("hi").take());
  write_seed(folder, "offline_plain", offline,
             Writer().ul(1).ul(2).lps(stored(serversim::OfflineForm::plain)).take());
  write_seed(folder, "offline_boundary", offline,
             Writer().ul(1).ul(2).lps(stored(serversim::OfflineForm::boundary)).take());
  write_seed(folder, "offline_modern", offline,
             Writer().ul(1).ul(2).lps(stored(serversim::OfflineForm::modern)).take());
  write_seed(folder, "offline_utf8", offline,
             Writer().ul(1).ul(2).lps(stored(serversim::OfflineForm::utf8)).take());
  write_seed(folder, "mailbox", mailbox, Writer().ul(4).take());
  write_seed(folder, "user_status", user_status, Writer().ul(1).lps("kim@example.org").take());
  Writer list;
  list.ul(0).ul(2).lps("us").lps("uussuu");
  list.ul(0).lps("Friends").ul(0).lps("Work");
  list.ul(8).ul(0).lps("amy").lps("Amy").ul(0).ul(1);
  list.ul(4).ul(1).lps("kim").lps("").ul(0).ul(2);
  list.ul(0).ul(1).lps("").lps("nobody").ul(0).ul(0);
  write_seed(folder, "contact_list", contact_list, list.take());
  const std::string hello = serversim::utf8_to_utf16le("Привет 🙂");
  write_seed(folder, "modern_message", message | kModern,
             Writer().ul(1).ul(0x100000).lps("kim@example.org").lps(hello).take());
  write_seed(folder, "modern_user_status", user_status | kModern,
             Writer()
                 .ul(4)
                 .lps("status_chat")
                 .lps(hello)
                 .lps(hello)
                 .lps("kim@example.org")
                 .ul(0x2FF)
                 .lps("")
                 .take());
  Writer modern_list;
  modern_list.ul(0).ul(1).lps("us").lps("uussuussssus");
  modern_list.ul(0x200).lps(hello);
  modern_list.ul(0x208)
      .ul(0)
      .lps("amy")
      .lps(hello)
      .ul(0)
      .ul(4)
      .lps("")
      .lps("status_chat")
      .lps(hello)
      .lps("")
      .ul(0)
      .lps("");
  const Bytes modern_list_body = modern_list.take();
  write_seed(folder, "modern_contact_list", contact_list | kModern, modern_list_body);
  // Revision 1.20: each contact's last post after the 1.15 items (id low and high, time, text,
  // reserved, reply-to); a contact without a post, or with one too old, has them empty.
  Writer microblog_list;
  microblog_list.ul(0).ul(1).lps("us").lps("uussuussssusuuusss");
  microblog_list.ul(0x200).lps(hello);
  microblog_list.ul(0x200)
      .ul(0)
      .lps("amy")
      .lps(hello)
      .ul(0)
      .ul(1)
      .lps("")
      .lps(serversim::status_uri(1))
      .lps("")
      .lps("")
      .ul(0x2FF)
      .lps("")
      .ul(0x00000007)
      .ul(0x00000002)
      .ul(1796680209)
      .lps(hello)
      .lps("")
      .lps("");
  microblog_list.ul(0x200)
      .ul(0)
      .lps("kim@example.org")
      .lps("")
      .ul(0)
      .ul(0)
      .lps("")
      .lps("")
      .lps("")
      .lps("")
      .ul(0)
      .lps("")
      .ul(0)
      .ul(0)
      .ul(0)
      .lps("")
      .lps("")
      .lps("");
  write_seed(folder, "microblog_contact_list", contact_list | kModern, microblog_list.take());
  // A contact's post, pushed: flags, address, id low and high, time, text, reply-to.
  write_seed(folder, "user_blog_status", user_blog_status | kModern,
             Writer()
                 .ul(1)
                 .lps("kim@example.org")
                 .ul(0x00000008)
                 .ul(0x00000002)
                 .ul(1796680209)
                 .lps(hello)
                 .ul(0)
                 .take());
  write_seed(folder, "user_info", user_info,
             Writer()
                 .lps("MRIM.NICKNAME")
                 .lps("Kim")
                 .lps("MESSAGES.TOTAL")
                 .lps("12")
                 .lps("MESSAGES.UNREAD")
                 .lps("3")
                 .take());
  write_seed(folder, "logout", logout, Writer().ul(0x10).take());
  write_seed(folder, "params", params, Writer().ul(30).take());
  write_seed(folder, "queued", queued, Writer().ul(0).take());

  // The authorization's answer alone (the address of whoever was authorized), and a status in
  // the USER_STATUS layout under the status change's code, as they come one at a time.
  write_seed(folder, "authorize_ack", authorize_ack, Writer().lps("kim@example.org").take());
  const Bytes status_under_change = Writer()
                                        .ul(1)
                                        .lps(serversim::status_uri(1))
                                        .lps(hello)
                                        .lps(hello)
                                        .lps("kim@example.org")
                                        .ul(0x2FF)
                                        .lps("client=\"Other\" version=\"1.2.3\" build=\"45\"")
                                        .take();
  write_seed(folder, "status_under_change_code", change_status | kModern, status_under_change);

  const Bytes login_answer = Writer().take();  // LOGIN_ACK has no body
  const Bytes delivered = Writer().ul(0).take();
  // The same answer twice under one number: a server that handles a body spread over several
  // reads answers it cut short and again whole.
  Bytes twice_message;
  add_record(twice_message, login_ack, kLoginSeq, login_answer);
  add_record(twice_message, message_status, kMessageSeq, delivered);
  add_record(twice_message, message_status, kMessageSeq, delivered);
  write_seed(folder, "answer_twice_message_status", kSeries | kModern, twice_message);
  Bytes twice_add;
  add_record(twice_add, login_ack, kLoginSeq, login_answer);
  add_record(twice_add, add_contact_ack, kAddSeq, Writer().ul(0).ul(21).take());
  add_record(twice_add, add_contact_ack, kAddSeq, Writer().ul(0).ul(21).take());
  write_seed(folder, "answer_twice_add_contact", kSeries, twice_add);

  // Pushes before LOGIN_ACK: the administrator's notice with a number of no meaning, another
  // user's status, then the log-in's answer and what follows it.
  Bytes early_message;
  add_record(early_message, message, 0x5A,
             Writer().ul(9).ul(0x100000).lps("admin@example.org").lps(hello).ul(0).ul(0).ul(0).take());
  add_record(early_message, login_ack, kLoginSeq, login_answer);
  add_record(early_message, user_info, 0, Writer().lps("MESSAGES.UNREAD").lps("1").take());
  write_seed(folder, "message_before_login", kSeries | kModern, early_message);
  Bytes early_status;
  add_record(early_status, user_status, 0x33,
             Writer()
                 .ul(2)
                 .lps(serversim::status_uri(2))
                 .lps(hello)
                 .lps("")
                 .lps("kim@example.org")
                 .ul(0x2FF)
                 .lps("")
                 .take());
  add_record(early_status, login_ack, kLoginSeq, login_answer);
  write_seed(folder, "status_before_login", kSeries | kModern, early_status);

  // The authorizer's side of a widely used server: AUTHORIZE_ACK naming the contact just
  // authorized, then that contact's status under 0x1022, after the log-in and the list.
  Bytes authorized;
  add_record(authorized, login_ack, kLoginSeq, login_answer);
  add_record(authorized, contact_list, 0, modern_list_body);
  add_record(authorized, authorize_ack, 0, Writer().lps("amy").take());
  add_record(authorized, change_status, 0,
             Writer()
                 .ul(1)
                 .lps(serversim::status_uri(1))
                 .lps(hello)
                 .lps("")
                 .lps("amy")
                 .ul(0x2FF)
                 .lps("client=\"Other\" version=\"1.2.3\" build=\"45\"")
                 .take());
  write_seed(folder, "authorize_ack_then_status", kSeries | kModern, authorized);
  return 0;
}
