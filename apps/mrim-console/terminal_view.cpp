// The terminal view: events as short sentences, one or a few lines each, and a line that shows
// what the console is waiting for. At a terminal that line is redrawn in place with a turning
// bar and the seconds gone; into a file or pipe it is written once and then every few seconds.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>

#include "charset.h"
#include "commands.h"
#include "line_editor.h"
#include "picture_view.h"
#include "posts.h"
#include "security.h"
#include "view.h"

namespace console {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kReportEvery{5};
// A contact's picture is drawn about as wide as a name and address.
constexpr int kPictureColumns = 24;

size_t terminal_columns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// Each line longer than the terminal is broken at its last blank that fits, and goes on
// indented four more than the line began; a word longer than a row is left to the terminal.
std::string wrapped_at_words(const std::string& text, size_t columns) {
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::wstring line = wide_from_utf8(text.substr(start, end - start));
    // Prose (a line that starts at the margin) goes on at the margin.
    const size_t first = line.find_first_not_of(L' ');
    const size_t indent = first == 0 ? 0 : std::min(first + 4, columns / 3);
    std::wstring rest = line;
    while (columns_of(rest) > columns) {
      size_t fit = 0, used = 0;
      while (fit < rest.size() && used + columns_of(rest.substr(fit, 1)) <= columns)
        used += columns_of(rest.substr(fit++, 1));
      size_t blank = rest.rfind(L' ', fit);
      if (blank == std::wstring::npos || blank == 0 || blank <= indent ||
          rest.find_first_not_of(L' ') >= blank)
        break;
      out += utf8_from_wide(rest.substr(0, blank)) + "\n";
      size_t next = rest.find_first_not_of(L' ', blank);
      rest = std::wstring(indent, L' ') + (next == std::wstring::npos ? L"" : rest.substr(next));
    }
    out += utf8_from_wide(rest);
    if (end == text.size()) break;
    out += "\n";
    start = end + 1;
  }
  return out;
}

std::string who(const Value& fields, const char* address_field) {
  std::string address = text_of(fields, address_field);
  std::string name = text_of(fields, "name");
  if (name.empty() || name == address) return address;
  return name + " <" + address + ">";
}

// The time of day, with the date in front when it is not today.
std::string clock_time(int64_t unix_seconds) {
  time_t t = static_cast<time_t>(unix_seconds);
  time_t now = std::time(nullptr);
  tm local{}, today{};
  localtime_r(&t, &local);
  localtime_r(&now, &today);
  bool same_day = local.tm_year == today.tm_year && local.tm_yday == today.tm_yday;
  char text[32];
  std::strftime(text, sizeof text, same_day ? "%H:%M" : "%Y-%m-%d %H:%M", &local);
  return text;
}

// Continuation lines of a multi-line text are indented under the first.
std::string indented(const std::string& text, size_t indent) {
  std::string out;
  for (char c : text) {
    if (c == '\r') continue;
    out += c;
    if (c == '\n') out.append(indent, ' ');
  }
  return out;
}

// A details field as people call it.
std::string field_label(const std::string& field) {
  if (field == "nick") return "nickname";
  if (field == "email") return "e-mail";
  if (field == "city_id") return "city (number)";
  if (field == "country_id") return "country (number)";
  std::string label = field;
  for (char& c : label)
    if (c == '_') c = ' ';
  return label;
}

// The account's status in front of the prompt, short enough not to crowd it.
std::string status_mark(const std::string& status) {
  if (status == "online") return "on";
  if (status == "offline") return "off";
  if (status == "invisible") return "inv";
  return status;
}

// The session's encryption after one's own status, in a word: the certificate's fingerprint is
// for the security command. Only a pin that moved to another certificate is news here.
std::string security(const Value& f) {
  if (!f.contains("security")) return "";
  std::string text = flag_of(f, "encrypted") ? "; encrypted" : "; not encrypted";
  if (!read_security_line(text_of(f, "security")).replaced.empty())
    text += "; the pin moved to a new certificate that the system trusts (type \"security\" for it)";
  return text;
}

// A fingerprint under a label, whole and grouped; the label's column is `width` wide.
std::string fingerprint_row(const std::string& label, const std::string& hex, size_t width) {
  std::string row = "\n  " + label + std::string(width > label.size() ? width - label.size() : 1, ' ');
  return row + grouped_fingerprint(hex, 2 + std::max(width, label.size() + 1));
}

constexpr const char* kTrustOrClear =
    "  Type \"trust\" to accept the new certificate if you expected the change,\n"
    "  or \"security pin clear\" to forget the pin.";

// A log-in refused for a certificate that is not the pinned one: both fingerprints, whole, one
// under the other, and the two ways on.
std::string pin_refusal(const Value& f) {
  return "* log-in failed, still offline: the server's certificate is not the pinned one" +
         fingerprint_row("new:", text_of(f, "certificate"), 9) +
         fingerprint_row("pinned:", text_of(f, "pinned"), 9) + "\n" + kTrustOrClear;
}

// The security command's answer: the plug-in's line with short fingerprints, then each
// fingerprint whole, the pin, and the system's word on the certificate.
std::string security_report(const Value& f) {
  std::string line = text_of(f, "line");
  SecurityLine read = read_security_line(line);
  const size_t width = 14;
  std::string text = "security: " + with_short_fingerprints(line);
  if (!read.certificate.empty())
    text += fingerprint_row(read.encrypted ? "certificate:" : "refused:", read.certificate, width);
  if (!read.replaced.empty()) text += fingerprint_row("replaced pin:", read.replaced, width);
  std::string pin = pin_digits(text_of(f, "pin"));
  if (pin.empty())
    text += "\n  pinned:       none (the next certificate the server shows is pinned)";
  else if (pin == read.certificate && read.encrypted)
    text += "\n  pinned:       this certificate";
  else
    text += fingerprint_row("pinned:", pin, width);
  // Without a certificate in sight there is nothing for the system to trust.
  if (read.certificate.empty()) return text;
  auto trusted = f.find("system_trusted");
  if (trusted == f.end() || !trusted->is_boolean())
    text += "\n  system trust: not known (the plug-in does not say)";
  else if (trusted->get<bool>())
    text += "\n  system trust: yes" + (read.trusted_for.empty() ? "" : ", for " + read.trusted_for);
  else
    text += read.encrypted ? "\n  system trust: no; it is accepted by its pin" : "\n  system trust: no";
  if (!read.encrypted && !read.pinned.empty()) text += std::string("\n") + kTrustOrClear;
  return text;
}

// A status's title and description, after its name: " — At the gym: back at 5". An offline
// contact's last texts are old news.
std::string status_texts(const Value& f) {
  std::string title = text_of(f, "status_title"), description = text_of(f, "status_desc");
  if ((title.empty() && description.empty()) || text_of(f, "status") == "offline") return "";
  return " \u2014 " + (title.empty()         ? description
                       : description.empty() ? title
                                             : title + ": " + description);
}

// The text's first line, cut to about `characters` with an ellipsis.
std::string first_words(const std::string& text, size_t characters) {
  std::wstring wide = wide_from_utf8(text.substr(0, text.find('\n')));
  bool cut = wide.size() > characters || text.find('\n') != std::string::npos;
  if (wide.size() > characters) wide.resize(characters);
  return utf8_from_wide(wide) + (cut ? "\u2026" : "");
}

// "; the title was cut to 33 characters: “…”" for each text the console cut.
std::string cut_notes(const Value& f) {
  std::string text;
  if (f.contains("cut"))
    for (const Value& c : f["cut"])
      text += "; the " + text_of(c, "text") + " was cut to " + std::to_string(number_of(c, "characters")) +
              " characters, as servers keep it: \u201C" + text_of(c, "kept") + "\u201D";
  return text;
}

std::string contact_line(const Value& c, bool long_form = false) {
  std::string line = who(c, "address") + "  " + text_of(c, "status") + status_texts(c);
  if (long_form && !text_of(c, "client").empty()) line += "  [" + text_of(c, "client") + "]";
  if (flag_of(c, "picture")) line += "  (picture)";
  std::string visibility = text_of(c, "visibility");
  if (!visibility.empty() && visibility != "normal") line += "  (" + visibility + " list)";
  if (c.contains("on_list") && !flag_of(c, "on_list")) line += "  (not on the list)";
  if (flag_of(c, "auth_pending")) line += "  (waiting for authorization)";
  if (flag_of(c, "ignored")) line += "  (ignored)";
  if (number_of(c, "unread") > 0) line += "  (" + std::to_string(number_of(c, "unread")) + " unread)";
  // The last post goes under the contact, where it does not push the marks out of the row.
  if (long_form && c.contains("post") && c["post"].is_object())
    line += "\n      \u270E " + relative_time(number_of(c["post"], "time"), std::time(nullptr)) + ": " +
            first_words(text_of(c["post"], "text"), 60);
  return line;
}

// The avatar command's answer: where the picture is kept, and at a colour terminal the
// picture itself, under it.
std::string picture_answer(const Value& f, bool colour) {
  if (flag_of(f, "none")) return text_of(f, "address") + " has no picture";
  std::string format = text_of(f, "format");
  for (char& c : format) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string text = "picture of " + text_of(f, "address") + ": " + text_of(f, "path") + " (" + format +
                     ", " + std::to_string(number_of(f, "size")) + " bytes)";
  if (!colour) return text;
  Drawing drawing = draw_picture_file(text_of(f, "path"), kPictureColumns);
  if (!drawing.problem.empty()) return text + "\n  (" + drawing.problem + ")";
  for (const std::string& line : drawing.lines) text += "\n  " + line;
  return text;
}

std::string describe(const Event& event, bool verbose, const std::string& conversation, bool colour) {
  const Value& f = event.fields;
  std::string kind = event.kind();
  if (kind == "ready") {
    std::string account = text_of(f, "account");
    std::string text = "MRIM console: plug-in " + text_of(f, "module") + ", server " + text_of(f, "server");
    text += account.empty() ? ", no account set up" : ", account " + account;
    if (text_of(f, "profile") != ":memory:") text += ", profile " + text_of(f, "profile");
    // Only what differs from the usual: an older protocol, another encryption choice, a host
    // without UTF-8.
    if (text_of(f, "protocol") != "1.20") text += ", protocol " + text_of(f, "protocol");
    if (text_of(f, "encryption") != "offered") text += ", encryption " + text_of(f, "encryption");
    if (!flag_of(f, "utf8")) text += ", host " + text_of(f, "host_version") + " (code page 1251)";
    return text + "\nType help for the commands.";
  }
  // A message box has been shown by the host's desktop already (on standard error).
  if (kind == "notice") return "";
  if (kind == "error") {
    // A word that is no command is named in the message already.
    std::string command = text_of(f, "command");
    bool known = false;
    for (const CommandInfo& info : command_table()) known = known || command == info.name;
    return "error: " + (known ? command + ": " : "") + text_of(f, "message");
  }
  if (kind == "question") return text_of(f, "text");
  if (kind == "answer") return flag_of(f, "yes") ? "yes" : "no";
  if (kind == "ok") {
    std::string command = text_of(f, "command");
    if (command == "msg") {
      // The line typed says it, and its delivery gets the message's line.
      if (!verbose || flag_of(f, "queued")) return "";
      return "-> message " + std::to_string(number_of(f, "ack")) + " to " + text_of(f, "to") + " sent";
    }
    if (command == "search")
      return "searching for " + text_of(f, "query") + " (search " + std::to_string(number_of(f, "id")) + ")";
    if (command == "status") {
      if (flag_of(f, "asked")) return "you are " + text_of(f, "status") + status_texts(f) + security(f);
      std::string cut = cut_notes(f);
      if (flag_of(f, "unchanged")) {
        if (flag_of(f, "texts_changed")) {
          std::string texts = status_texts(f);
          return "still " + text_of(f, "status") + "; " +
                 (texts.empty() ? "the status texts are cleared" : "the texts are now" + texts) + cut;
        }
        return "the account is already " + text_of(f, "status") + status_texts(f) + cut;
      }
      std::string cancelled = text_of(f, "cancelled");
      if (!cancelled.empty()) return cancelled + " cancelled, the account stays offline";
      // The change itself is shown when it happens; only a cut text is news now.
      return cut.empty() ? "" : cut.substr(2);
    }
    if (command == "add") {
      std::string text = "the server put " + text_of(f, "address") + " on the list";
      if (!text_of(f, "group").empty())
        text += flag_of(f, "waits")
                    ? "; it goes into " + text_of(f, "group") + " with the next list (at the next log-in)"
                    : ", in " + text_of(f, "group");
      return text + "; it shows as waiting for authorization until granted";
    }
    if ((command == "rename" || command == "move") && flag_of(f, "waits"))
      return "kept here: the server has no number for " + text_of(f, "address") +
             " yet, and gets the change with its next list (at the next log-in)";
    if (command == "visibility") return text_of(f, "address") + ": visibility " + text_of(f, "visibility");
    if (command == "authorize") return text_of(f, "address") + " authorized";
    if (command == "deny") return text_of(f, "address") + "'s request refused";
    if (command == "reqauth")
      return std::string(flag_of(f, "listed") ? "the server put " : "the server did not put ") +
             text_of(f, "address") +
             " on the list; your authorization was sent (the server does not confirm it)";
    if (command == "typing") return "typing notice sent to " + text_of(f, "address");
    if (command == "post") {
      if (!f.contains("last")) return "\u270E posted: " + indented(text_of(f, "text"), 10);
      const Value& last = f["last"];
      if (!last.is_object()) return "you have posted nothing yet (post TEXT publishes a post)";
      return "your last post, " + relative_time(number_of(last, "time"), std::time(nullptr)) + ": " +
             indented(text_of(last, "text"), 2);
    }
    if (command == "avatar") return picture_answer(f, colour);
    if (command == "ignore") return text_of(f, "address") + " is ignored: its messages are dropped";
    if (command == "unignore") return text_of(f, "address") + " is no longer ignored";
    if (command == "group")
      return text_of(f, "action") == "rename"
                 ? "group " + text_of(f, "group") + " is now " + text_of(f, "name")
                 : "group " + text_of(f, "group") + " deleted";
    if (command == "security" && f.contains("cleared"))
      return flag_of(f, "cleared") ? "the pin is forgotten: the next certificate the server shows is pinned"
                                   : "no certificate is pinned";
    if (command == "trust") {
      std::string text = "pinned the new certificate SHA-256 " + short_fingerprint(text_of(f, "pin"));
      if (flag_of(f, "pending")) return text + "; going " + text_of(f, "status") + " again";
      return text + "; type \"status online\" to go online with it";
    }
    return "";  // the others' own events (contact changes, details, lists) say enough
  }
  if (kind == "status")
    return "* you are " + text_of(f, "status") + " (were " + text_of(f, "previous") + ")" + security(f);
  if (kind == "login_failed") {
    if (f.contains("certificate") && f.contains("pinned")) return pin_refusal(f);
    std::string text = "* log-in failed, still offline: " + text_of(f, "reason");
    if (read_security_line(text_of(f, "reason")).encryption_withdrawn)
      text += "\n  Type \"security pin clear\" to forget the pin, and the next log-in goes on in clear.";
    return text;
  }
  if (kind == "pinned")
    return "* pinned the server's certificate SHA-256 " + short_fingerprint(text_of(f, "certificate")) +
           " (type \"security\" for all of it)";
  if (kind == "security") return security_report(f);
  if (kind == "reconnecting") {
    int64_t seconds = number_of(f, "seconds");
    if (seconds == 0) return "* reconnecting";
    return "* connection lost, reconnecting in " + std::to_string(seconds) + " s";
  }
  if (kind == "contact") {
    if (flag_of(f, "new")) return "+ " + contact_line(f);
    std::string what;
    bool presence_told = false;
    if (f.contains("changed"))
      for (const Value& item : f["changed"]) {
        // The status and its texts make one sentence, however many of them changed.
        if ((item == "status" || item == "status_title" || item == "status_desc") && !presence_told) {
          presence_told = true;
          what += (what.empty() ? "" : ", ") + std::string("is ") + text_of(f, "status") + status_texts(f);
        }
        if (item == "name")
          what += (what.empty() ? "" : ", ") + std::string("is now called ") + text_of(f, "name");
        if (item == "visibility")
          what += (what.empty() ? "" : ", ") + std::string("visibility ") + text_of(f, "visibility");
        if (item == "on_list")
          what += (what.empty() ? "" : ", ") +
                  std::string(flag_of(f, "on_list") ? "is on the list" : "is not on the list");
        if (item == "group") {
          std::string group = text_of(f, "group");
          what +=
              (what.empty() ? "" : ", ") + (group.empty() ? std::string("is in no group") : "is in " + group);
        }
      }
    if (what.empty()) return "";  // nothing a person reads (the authorization has its own line)
    // A new name is said once: after the address, not also in front of it.
    bool renamed = f.contains("changed") &&
                   std::find(f["changed"].begin(), f["changed"].end(), "name") != f["changed"].end();
    return "* " + (renamed ? text_of(f, "address") : who(f, "address")) + " " + what;
  }
  if (kind == "contact_removed") return "- " + who(f, "address") + " removed";
  if (kind == "message") {
    // In a conversation its contact needs no address, and the others' messages are marked.
    const bool theirs = !conversation.empty() && text_of(f, "from") == conversation;
    std::string name = text_of(f, "name").empty() ? text_of(f, "from") : text_of(f, "name");
    std::string head = std::string(conversation.empty() || theirs ? "" : "\u25C6 ") + "[" +
                       clock_time(number_of(f, "time")) + "] " + (theirs ? name : who(f, "from")) + ": ";
    return head + indented(text_of(f, "text"), 8);
  }
  if (kind == "post") {
    std::string name = text_of(f, "name").empty() ? text_of(f, "address") : text_of(f, "name");
    return "\u270E [" + clock_time(number_of(f, "time")) + "] " + name + ": " +
           indented(text_of(f, "text"), 8);
  }
  if (kind == "posts") {
    if (!f.contains("posts") || f["posts"].empty()) return "no posts";
    const int64_t now = std::time(nullptr);
    std::string text = "latest posts:";
    for (const Value& p : f["posts"]) {
      std::string head = "  " + who(p, "address") + "  " + relative_time(number_of(p, "time"), now) + ": ";
      text += "\n" + head + indented(text_of(p, "text"), 4);
    }
    return text;
  }
  // The post's own command stopped waiting for this.
  if (kind == "posted") {
    std::string excerpt = first_words(text_of(f, "text"), 40);
    if (flag_of(f, "posted")) return "\u270E posted at last: " + excerpt;
    std::string reason = text_of(f, "reason");
    return "\u2717 not posted: " + (reason.empty() ? "the server did not store it" : reason) + " (\u201C" +
           excerpt + "\u201D)";
  }
  if (kind == "unread_count") return "";  // the prompt shows it
  if (kind == "unread_summary") {
    int64_t messages = number_of(f, "messages"), contacts = number_of(f, "contacts");
    return "* " + std::to_string(messages) + " unread from " + std::to_string(contacts) +
           (contacts == 1 ? " contact" : " contacts") + " (unread shows them)";
  }
  if (kind == "unread") {
    if (!f.contains("senders") || f["senders"].empty()) return "nothing unread";
    std::string text = "unread:";
    for (const Value& sender : f["senders"]) {
      text += "\n  " + who(sender, "from") + ":";
      for (const Value& m : sender["messages"]) {
        std::string head = "    [" + clock_time(number_of(m, "time")) + "] ";
        text += "\n" + head + indented(text_of(m, "text"), head.size());
      }
    }
    return text;
  }
  if (kind == "chat") {
    std::string name = who(f, "address");
    if (!flag_of(f, "open")) return "conversation with " + name + " ended";
    return "talking with " + name + "; /close or Ctrl-D ends, /help lists the commands";
  }
  if (kind == "auth_request") {
    return "? " + who(f, "from") + " asks for authorization: " + text_of(f, "text") + "\n  (authorize " +
           text_of(f, "from") + " or deny " + text_of(f, "from") + ")";
  }
  if (kind == "contacts") {
    std::string text = "\u21C4 " + who(f, "from") + " sent contacts:";
    if (f.contains("contacts"))
      for (const Value& c : f["contacts"])
        text += "\n  " + text_of(c, "name") + " <" + text_of(c, "address") + ">";
    return text + "\n  (add ADDRESS adds one)";
  }
  if (kind == "contacts_sent") {
    if (flag_of(f, "delivered")) return "\u2713 contacts delivered to " + who(f, "to");
    return "\u2717 contacts not delivered to " + who(f, "to") + ": " + text_of(f, "reason");
  }
  if (kind == "away_message") {
    std::string text = text_of(f, "text");
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n"))
      text.replace(at, 2, " \u2014 ");
    return "\u263E " + who(f, "address") + (text.empty() ? " has no away message" : ": " + text);
  }
  if (kind == "authorized") return "+ " + who(f, "address") + " authorized you";
  // The plug-in fetches pictures as contacts come online: list marks them, avatar shows one.
  if (kind == "avatar") return "";
  if (kind == "typing") return number_of(f, "seconds") > 0 ? "... " + who(f, "from") + " is typing" : "";
  if (kind == "queued") {
    std::string text = "\u29D7 " + who(f, "to") + ": " + first_words(text_of(f, "text"), 40);
    if (flag_of(f, "again"))
      return text + " (the connection was lost before the server confirmed it: it goes again once online)";
    return text + " (waits in the outbox, and goes once online)";
  }
  if (kind == "sent") {
    if (!verbose) return "";
    return "-> message " + std::to_string(number_of(f, "ack")) + " to " + text_of(f, "to") +
           " sent from the outbox";
  }
  if (kind == "outbox") {
    const Value empty = Value::array();
    const Value& entries = f.contains("entries") ? f["entries"] : empty;
    if (entries.empty()) return "the outbox is empty";
    const bool one = entries.size() == 1;
    const std::string head = std::to_string(entries.size()) + (one ? " message" : " messages");
    std::string text = "outbox:";
    if (flag_of(f, "at_start")) text = head + " from before " + (one ? "waits" : "wait") + " in the outbox:";
    if (flag_of(f, "at_end"))
      text = head + " not delivered " +
             (flag_of(f, "kept") ? std::string(one ? "stays" : "stay") + " in the outbox for the next start:"
                                 : std::string(one ? "is" : "are") + " lost with the in-memory profile:");
    for (const Value& e : entries)
      text += "\n  [" + clock_time(number_of(e, "time")) + "] " + text_of(e, "to") + ": " +
              first_words(text_of(e, "text"), 40) + (flag_of(e, "sent") ? " (sent, not confirmed yet)" : "");
    return text;
  }
  if (kind == "delivered" && !verbose) {
    std::string excerpt = first_words(text_of(f, "text"), 40);
    if (flag_of(f, "delivered")) return "\u2713 " + who(f, "to") + ": " + excerpt;
    std::string reason = text_of(f, "reason");
    return "\u2717 not delivered to " + who(f, "to") + ": " +
           (reason.empty() ? "the server did not confirm it" : reason) + " (\u201C" + excerpt + "\u201D)";
  }
  if (kind == "delivered") {
    std::string message = "message " + std::to_string(number_of(f, "ack")) + " to " + text_of(f, "to");
    if (flag_of(f, "delivered")) return "<- " + message + " delivered";
    std::string reason = text_of(f, "reason");
    return "<- " + message + " FAILED: " + (reason.empty() ? "the server did not confirm it" : reason);
  }
  if (kind == "search_result") {
    // found: ivan@mail.example  Ваня (Иван Петров), 36, Москва, online
    std::string line = "found: " + text_of(f, "email");
    std::string nick = text_of(f, "nick");
    std::string full = text_of(f, "first_name");
    if (!text_of(f, "last_name").empty()) full += (full.empty() ? "" : " ") + text_of(f, "last_name");
    std::string name = nick != text_of(f, "email") ? nick : "";
    if (!full.empty()) name += name.empty() ? full : " (" + full + ")";
    std::vector<std::string> facts;
    if (!name.empty()) facts.push_back(name);
    if (number_of(f, "age") > 0) facts.push_back(std::to_string(number_of(f, "age")));
    if (!text_of(f, "city").empty()) facts.push_back(text_of(f, "city"));
    if (!text_of(f, "status").empty()) facts.push_back(text_of(f, "status"));
    for (size_t i = 0; i < facts.size(); ++i) line += (i == 0 ? "  " : ", ") + facts[i];
    return line;
  }
  if (kind == "search_done") {
    if (!text_of(f, "error").empty())
      return "search " + std::to_string(number_of(f, "id")) + " failed: " + text_of(f, "error");
    std::string text =
        "search " + std::to_string(number_of(f, "id")) + " done: " +
        (number_of(f, "found") ? std::to_string(number_of(f, "found")) + " found" : "nobody found");
    return flag_of(f, "more") ? text + "; type more for the next page" : text;
  }
  if (kind == "details") {
    if (!flag_of(f, "ok")) return "no details for " + text_of(f, "address");
    std::string text = "details of " + text_of(f, "address") + ":";
    if (f.contains("fields"))
      for (const auto& [name, v] : f["fields"].items()) {
        std::string shown = v.is_string() ? v.get<std::string>() : v.dump();
        if (!shown.empty()) text += "\n  " + field_label(name) + ": " + shown;
      }
    return text;
  }
  if (kind == "warning") return "! " + text_of(f, "title") + ": " + text_of(f, "text");
  if (kind == "new_mail") return "* new mail: " + text_of(f, "title") + ": " + text_of(f, "text");
  if (kind == "list") {
    if (!f.contains("contacts") || f["contacts"].empty()) return "the contact list is empty";
    // Under their groups, in the list's order of groups; contacts in none come last.
    std::vector<std::string> order;
    if (f.contains("groups"))
      for (const Value& g : f["groups"]) order.push_back(g.is_string() ? g.get<std::string>() : "");
    order.push_back("");
    std::string text = "contacts:";
    for (const std::string& group : order) {
      std::string lines;
      for (const Value& c : f["contacts"])
        if (text_of(c, "group") == group) lines += "\n    " + contact_line(c, flag_of(f, "long"));
      if (!lines.empty()) text += "\n  " + (group.empty() ? std::string("(no group)") : group) + ":" + lines;
    }
    return text;
  }
  if (kind == "groups") {
    if (!f.contains("groups") || f["groups"].empty()) return "no groups";
    std::string text = "groups:";
    for (const Value& g : f["groups"])
      text += "\n  " + text_of(g, "name") + " (" + std::to_string(number_of(g, "contacts")) + ")";
    return text;
  }
  if (kind == "history") {
    if (!f.contains("entries") || f["entries"].empty()) return "no history with " + text_of(f, "address");
    std::string text = "history with " + text_of(f, "address") + ":";
    for (const Value& e : f["entries"]) {
      // A post was written for all the contacts, not to us: no arrow.
      std::string arrow = text_of(e, "type") == "post"       ? "\u270E "
                          : text_of(e, "direction") == "out" ? ">> "
                                                             : "<< ";
      std::string type = text_of(e, "type") == "auth_request" ? "(authorization request) " : "";
      std::string head = "  [" + clock_time(number_of(e, "time")) + "] " + arrow;
      text += "\n" + head + type + indented(text_of(e, "text"), columns_of(wide_from_utf8(head)));
    }
    return text;
  }
  if (kind == "help") {
    if (f.contains("commands") && f["commands"].size() == 1 && f["commands"][0].contains("details")) {
      const Value& c = f["commands"][0];
      std::string text = text_of(c, "usage") + "\n  " + text_of(c, "description");
      // The details are prose: at a terminal they flow into its width.
      std::string details = text_of(c, "details");
      if (isatty(STDOUT_FILENO)) std::replace(details.begin(), details.end(), '\n', ' ');
      return details.empty() ? text : text + "\n" + details;
    }
    // Usage and description side by side where the terminal has room for both, else one under
    // the other.
    const bool side_by_side = !isatty(STDOUT_FILENO) || terminal_columns() >= 100;
    std::string text = "commands:";
    if (f.contains("commands"))
      for (const Value& c : f["commands"]) {
        std::string usage = text_of(c, "usage");
        if (!side_by_side) {
          text += "\n  " + usage + "\n      " + text_of(c, "description");
          continue;
        }
        if (usage.size() < 44) usage.append(44 - usage.size(), ' ');
        text += "\n  " + usage + " " + text_of(c, "description");
      }
    return text;
  }
  if (kind == "bye") return "bye";
  return "";
}

class TerminalView : public View {
 public:
  TerminalView(bool interactive, LineEditor* editor, bool verbose, bool bell)
      : interactive_(interactive),
        verbose_(verbose),
        bell_(bell),
        tty_(isatty(STDOUT_FILENO) == 1),
        colour_(colour_wanted(tty_, std::getenv("TERM"), std::getenv("NO_COLOR"))),
        editor_(editor),
        ticker_([this] { tick(); }) {
    if (editor_) editor_->set_mark(status_mark("offline"));
  }
  ~TerminalView() override {
    {
      std::lock_guard lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    ticker_.join();
  }

  void show(const Event& event) override {
    if (event.kind() == "new_mail") {
      // The plug-in repeats its balloon as a reminder; it is news only when it says another thing.
      std::string notice = text_of(event.fields, "title") + "\n" + text_of(event.fields, "text");
      std::lock_guard lock(mu_);
      if (notice == last_notice_) return;
      last_notice_ = notice;
    }
    if (editor_ && event.kind() == "status") editor_->set_mark(status_mark(text_of(event.fields, "status")));
    std::string conversation;
    {
      std::lock_guard lock(mu_);
      if (event.kind() == "chat") {
        const Value& f = event.fields;
        conversation_ = flag_of(f, "open") ? text_of(f, "address") : "";
        std::string name = text_of(f, "name").empty() ? text_of(f, "address") : text_of(f, "name");
        if (editor_) editor_->set_conversation(flag_of(f, "open") ? name : "");
      }
      conversation = conversation_;
    }
    if (editor_ && event.kind() == "unread_count") editor_->set_unread(number_of(event.fields, "messages"));
    std::string text = describe(event, verbose_, conversation, colour_);
    if (!verbose_) text = quieter(event, text);
    if (text.empty()) return;
    // A message calls for attention unless its conversation is on the screen.
    if (bell_ && tty_ && event.kind() == "message" && text_of(event.fields, "from") != conversation)
      text = "\a" + text;
    if (tty_ && event.kind() == "help") text = wrapped_at_words(text, terminal_columns());
    std::lock_guard lock(mu_);
    clear_line();
    if (editor_) {
      editor_->print_above(text + "\n");
    } else {
      std::fputs((text + "\n").c_str(), stdout);
    }
    redraw();
  }

  void begin_wait(const std::string& key, const std::string& what) override {
    std::lock_guard lock(mu_);
    // Without a terminal a wait is reported once it has lasted a second, then every five.
    waits_[key] = {what, Clock::now(), Clock::now() - kReportEvery + std::chrono::seconds(1)};
    redraw();
    cv_.notify_all();
  }

  void end_wait(const std::string& key) override {
    std::lock_guard lock(mu_);
    clear_line();
    waits_.erase(key);
    redraw();
  }

  void ready_for_input() override {
    std::lock_guard lock(mu_);
    if (editor_) {
      // The line editor draws the prompt, in the place of a wait line drawn meanwhile.
      clear_line();
      editor_->begin_prompt(waits_text(false));
      return;
    }
    prompt_shown_ = interactive_;
    redraw();
  }

  void input_taken() override {
    std::lock_guard lock(mu_);
    prompt_shown_ = false;
    if (!editor_) line_drawn_ = false;  // the person's Enter ended the prompt's line
  }

 private:
  struct Wait {
    std::string what;
    Clock::time_point since;
    Clock::time_point last_report;
  };

  std::string waits_text(bool with_bar) const {
    static const char bar[] = "|/-\\";
    std::string line = with_bar ? std::string(1, bar[turn_ % 4]) + " " : "";
    bool first = true;
    for (const auto& [key, wait] : waits_) {
      auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - wait.since).count();
      line += (first ? "" : ", ") + wait.what + " " + std::to_string(seconds) + "s";
      first = false;
    }
    return line;
  }

  // The status line: at a terminal the waits with a turning bar, else the prompt alone. While
  // the line editor prompts, the waits are shown in front of its prompt instead.
  void redraw() {
    if (editor_ && editor_->prompting()) {
      editor_->set_status(waits_text(false));
      return;
    }
    if (editor_) editor_->set_status("");
    if (tty_ && !waits_.empty()) {
      std::fputs(("\r\033[K" + waits_text(true)).c_str(), stdout);
      line_drawn_ = true;
    } else if (prompt_shown_ && interactive_) {
      std::fputs("\r\033[K> ", stdout);
      line_drawn_ = true;
    }
    std::fflush(stdout);
  }

  void clear_line() {
    if (line_drawn_ && (tty_ || interactive_)) std::fputs("\r\033[K", stdout);
    line_drawn_ = false;
  }

  void tick() {
    std::unique_lock lock(mu_);
    while (!stop_) {
      cv_.wait_for(lock, std::chrono::milliseconds(250));
      if (stop_ || waits_.empty()) continue;
      ++turn_;
      if (tty_) {
        redraw();
        continue;
      }
      for (auto& [key, wait] : waits_) {
        if (Clock::now() - wait.last_report < kReportEvery) continue;
        wait.last_report = Clock::now();
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - wait.since).count();
        clear_line();
        std::printf("... %s (%lld s)\n", wait.what.c_str(), static_cast<long long>(seconds));
        redraw();
      }
    }
  }

  // Retries that fail as the one before did say so in one short line: the reason was given
  // once, the try itself is no news, and no connection was lost when none was made.
  std::string quieter(const Event& event, const std::string& text) {
    const Value& f = event.fields;
    std::lock_guard lock(mu_);
    if (event.kind() == "status" && text_of(f, "status") != "offline") {
      failing_ = false;
      last_failure_.clear();
    }
    if (event.kind() == "login_failed") {
      std::string reason = text_of(f, "reason");
      bool again = failing_ && reason == last_failure_;
      failing_ = true;
      last_failure_ = reason;
      return again ? "" : text;
    }
    if (event.kind() == "reconnecting") {
      int64_t seconds = number_of(f, "seconds");
      if (seconds == 0) return "";
      if (failing_) return "* could not reach the server; next try in " + std::to_string(seconds) + " s";
    }
    return text;
  }

  const bool interactive_;
  const bool verbose_;
  const bool bell_;
  const bool tty_;
  const bool colour_;  // pictures are drawn
  LineEditor* const editor_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::string, Wait> waits_;
  bool stop_ = false;
  bool line_drawn_ = false;
  bool prompt_shown_ = false;
  unsigned turn_ = 0;
  std::string last_notice_;
  std::string conversation_;  // the address of the open conversation's contact
  bool failing_ = false;      // a log-in failed, and none has succeeded since
  std::string last_failure_;  // the reason it gave
  std::thread ticker_;        // last: starts once the members above exist
};

}  // namespace

std::unique_ptr<View> make_terminal_view(bool interactive, LineEditor* editor, bool verbose, bool bell) {
  return std::make_unique<TerminalView>(interactive, editor, verbose, bell);
}

}  // namespace console
