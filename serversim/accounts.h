// The accounts of the MRIM server stand-in: who may log in, what each one's contact list,
// directory entry, mailbox and stored messages hold, and the reader of the accounts file. Every
// text here is UTF-8 (read leniently, see text.h); the server writes each one in the encoding
// of the session it goes to.
#pragma once

#include <cstdint>
#include <ctime>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace serversim {

// A status beyond its number, as sessions of 1.15 and later send and receive it.
struct StatusTexts {
  std::string uri;  // as the client sent it; the number's own URI goes out for the usual ones
  std::string title;
  std::string description;
  uint32_t features = 0;
};

struct Group {
  uint32_t flags = 0;
  std::string name;
  // The index the list gives the group; unset, its place in the list. Set, it may leave gaps, as
  // on a server where another client deleted a group.
  std::optional<uint32_t> index;
};

struct Contact {
  std::string email;
  uint32_t group = 0;
  uint32_t flags = 0;
  // The presence reported for this contact while its address has no logged-in session here
  // (contacts that are accounts of this server and are logged in show their live status).
  uint32_t status = 0;
  std::string nickname;
  // Added, and the other side has not authorized the account yet. Configured entries are not
  // pending; ADD_CONTACT makes pending ones. With Behavior::list_only_authorized the list leaves
  // it out, and with presence_needs_authorization its status does not reach the account.
  bool pending = false;
  // Beside that status. Last, so that the brace forms above keep meaning what they meant.
  StatusTexts status_texts;
};

// How a stored message is laid out when it is handed to the client.
enum class OfflineForm {
  plain,     // LF line ends: From, Date, blank line, the text
  boundary,  // LF line ends with a "Boundary: " header and a closing "--boundary--" line
  modern,    // CR LF line ends, body in base64 of UTF-16LE, as servers in use today send it
  utf8,      // like modern, but the base64 carries UTF-8
  raw,       // the text is the whole stored message, byte for byte
};

struct OfflineMessage {
  OfflineForm form = OfflineForm::plain;
  std::string from;
  // UTF-8 like every text here; the old forms carry it in code page 1251, the modern ones in
  // Unicode. The raw form's text goes out byte for byte.
  std::string text;
  uint32_t flags = 0;  // the X-MRIM-Flags header of the modern forms
  uint64_t id = 0;     // given by the server when the message is stored
};

// An account's last microblog post, which sessions of 1.20 and later are shown.
struct Post {
  uint64_t id = 0;  // 0: the server gives it the next id when it takes the account
  // Unix seconds of the real clock. What the server sends shows it on the server's own clock,
  // shifted by Behavior::clock_offset as every date it sends.
  std::time_t time = 0;
  std::string text;
};

// What the avatar service answers for an address (see Server::avatar_port). Every size of
// picture gets the same answer.
enum class AvatarKind {
  none,      // 404 with X-NoImage: 1, as for a user who never set a picture
  picture,   // a 90x90 baseline JPEG of its own for the address
  slow,      // the picture, after Behavior::avatar_delay
  broken,    // announces a 5000-byte JPEG, sends a few hundred bytes that are none, and closes
  redirect,  // 302 to the same path on 192.0.2.1, which nothing may dial
  huge,      // announces 8 MiB of JPEG and streams them (a JPEG start, then filler)
  html,      // 200 with a small HTML page, as a portal's error page comes
};

// The order in which account information pairs are sent after log-in. In either, a session of
// 1.20 or later then gets "micblog.status.id", ".time" and ".text" of the account's own post.
enum class UserInfoStyle {
  legacy,  // "MESSAGES.TOTAL", "MESSAGES.UNREAD" and nothing else
  modern,  // "MRIM.NICKNAME", "MESSAGES.TOTAL", "MESSAGES.UNREAD", "client.endpoint"
};

struct Account {
  std::string email;
  std::string password;
  std::string nickname;
  uint32_t unread_mail = 0;
  uint32_t total_mail = 0;
  UserInfoStyle info_style = UserInfoStyle::legacy;
  // Masks of the contact list: one letter per item, "s" a text, any other letter a number. Empty:
  // those of the receiving session's revision.
  std::string group_mask;
  std::string contact_mask;
  std::vector<Group> groups;
  std::vector<Contact> contacts;
  // Directory fields besides "Username", "Domain" and "Nickname", which every entry has.
  std::vector<std::pair<std::string, std::string>> directory;
  std::vector<OfflineMessage> offline;
  // What the account's client said of its status last, at log-in or at a change of status
  // (empty texts from a client below 1.15). Kept while the account is away, as servers do.
  StatusTexts status_texts;
  // What the avatar service answers for the account's picture (Server::set_avatar serves
  // addresses that are no account here as well).
  AvatarKind avatar = AvatarKind::none;
  std::optional<Post> post;
};

class ConfigError : public std::runtime_error {
 public:
  // The message reads "FILE: line N: DETAIL" (without the parts that are not known).
  ConfigError(int line, const std::string& detail, const std::string& file = "");
  int line() const { return line_; }
  const std::string& detail() const { return detail_; }

 private:
  int line_;
  std::string detail_;
};

// Reads accounts in the format described at the top of config.cpp. Throws ConfigError naming
// the line of the first fault.
std::vector<Account> parse_accounts(std::istream& in);
std::vector<Account> load_accounts(const std::string& path);

}  // namespace serversim
