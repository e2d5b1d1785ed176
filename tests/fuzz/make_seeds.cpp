// Writes the seed inputs of hsp_fuzz into a folder: one well-formed packet of every kind the
// dispatcher handles (messages, stored messages in each form, presence, a contact list, account
// information and notices), in the fuzz target's input format: the code's index, then the body.
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
enum : uint8_t { message, offline, mailbox, user_status, contact_list, user_info, logout, params, queued };
// The kind's top bit: the packet of a modern (Unicode) session on a host that takes UTF-8.
constexpr uint8_t kModern = 0x80;

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
  write_seed(folder, "modern_contact_list", contact_list | kModern, modern_list.take());
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
  return 0;
}
