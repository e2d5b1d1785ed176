// Messages the server delivers on its own: instant messages, typing notices and authorization
// requests, and messages stored while the user was offline.
//
// Every text is read into its buffer of the ListenerWorkArea and cut to fit it: an address
// keeps its first 511 characters, a message its first 29,999. A cut message is still shown
// (a long text losing its tail is better than a message lost), and the reply to the server
// carries what was kept.
#include "incoming/messages.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "contacts/contact_records.h"
#include "contacts/contact_transfer.h"
#include "contacts/ignore.h"
#include "core/host_services.h"
#include "core/host_text.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/text.h"
#include "incoming/base64.h"
#include "incoming/events.h"
#include "protocol/send.h"
#include "protocol/wire_text.h"

namespace {

// Seconds the host shows a contact as typing after a typing notice.
constexpr LPARAM kTypingSeconds = 11;

// The longest authorization blob: two addresses, a message and the fixed part all fit.
static_assert(2 * (sizeof(ListenerWorkArea::address) - 1) + (sizeof(ListenerWorkArea::message) - 1) + 13 <=
              sizeof(ListenerWorkArea::auth_record));

// Header names are matched without regard to letter case.
bool starts_with_nocase(const char* text, const char* end, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (text >= end || ascii_lower(*text) != ascii_lower(*prefix)) return false;
  }
  return true;
}

// The first occurrence of needle in [begin, end), letter case ignored; null when there is none.
const char* find_nocase(const char* begin, const char* end, const char* needle) {
  for (const char* p = begin; p < end; ++p) {
    if (starts_with_nocase(p, end, needle)) return p;
  }
  return nullptr;
}

// The first occurrence of the length bytes at needle in [begin, end), exact; null when none.
const char* find_exact(const char* begin, const char* end, const char* needle, size_t length) {
  if (length == 0) return nullptr;
  for (const char* p = begin; end - p >= static_cast<ptrdiff_t>(length); ++p) {
    if (memcmp(p, needle, length) == 0) return p;
  }
  return nullptr;
}

// The end of the line that starts at text: its CR, LF or the text's NUL.
const char* line_end(const char* text) {
  while (*text != '\0' && *text != '\r' && *text != '\n') ++text;
  return text;
}

// The first blank line at or after from: LF LF, or LF CR LF as in CR LF CR LF. Returns the
// first character after it, or null.
const char* body_after_blank_line(const char* from) {
  for (const char* p = strchr(from, '\n'); p != nullptr; p = strchr(p + 1, '\n')) {
    if (p[1] == '\n') return p + 2;
    if (p[1] == '\r' && p[2] == '\n') return p + 3;
  }
  return nullptr;
}

// How a stored message's body is encoded, from its header block [headers, end).
struct BodyEncoding {
  bool base64 = false;
  enum { single_byte, utf16le, utf8 } charset = single_byte;
};

// A header's value: after the name, blanks skipped, up to the end of the line.
const char* header_value(const char* headers, const char* end, const char* name) {
  const char* header = find_nocase(headers, end, name);
  if (header == nullptr) return nullptr;
  const char* value = header + strlen(name);
  while (value < end && (*value == ' ' || *value == '\t')) ++value;
  return value;
}

bool is_token_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// The charset name at value, compared whole (so UTF-8 does not take UTF-80).
bool charset_is(const char* value, const char* end, const char* name) {
  if (!starts_with_nocase(value, end, name)) return false;
  const char* after = value + strlen(name);
  return after >= end || !is_token_char(*after);
}

BodyEncoding body_encoding(const char* headers, const char* end) {
  BodyEncoding encoding;
  const char* transfer = header_value(headers, end, "Content-Transfer-Encoding:");
  if (transfer != nullptr) encoding.base64 = charset_is(transfer, end, "base64");
  const char* type = header_value(headers, end, "Content-Type:");
  if (type != nullptr) {
    const char* type_end = line_end(type);
    if (type_end > end) type_end = end;
    const char* charset = find_nocase(type, type_end, "charset=");
    if (charset != nullptr) {
      const char* name = charset + strlen("charset=");
      if (name < type_end && *name == '"') ++name;
      if (charset_is(name, type_end, "UTF-16LE"))
        encoding.charset = BodyEncoding::utf16le;
      else if (charset_is(name, type_end, "UTF-8"))
        encoding.charset = BodyEncoding::utf8;
    }
  }
  return encoding;
}

// Decodes the body [body, end) (in place for base64) into host text at out.
void decode_body(char* body, char* end, const BodyEncoding& encoding, char* out, size_t out_size) {
  size_t length = static_cast<size_t>(end - body);
  if (encoding.base64) length = base64_decode_in_place(body, length);
  TextForm form = encoding.charset == BodyEncoding::utf16le ? TextForm::utf16le
                  : encoding.charset == BodyEncoding::utf8  ? TextForm::utf8
                                                            : TextForm::cp1251;
  host_text_from(body, length, form, out, out_size);
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<int64_t>(day_of_era) - 719468;
}

// The stored message's time, in the header block before body_start; 0 when it has none.
uint32_t stored_message_time(const char* text, const char* body_start) {
  const char* value = header_value(text, body_start, "Date:");
  if (value == nullptr) return 0;
  const char* end = line_end(value);
  char date[64];
  copy_cut(date, sizeof date, value, static_cast<size_t>(end - value));
  return mrim_mail_date(date);
}

}  // namespace

uint32_t mrim_mail_date(const char* text) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const char* comma = strchr(text, ',');
  if (comma != nullptr) text = comma + 1;  // the weekday says nothing the date does not
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  char month_name[4] = "";
  char zone[8] = "";
  if (sscanf(text, " %2d %3s %4d %2d:%2d:%2d %7s", &day, month_name, &year, &hour, &minute, &second, zone) <
      6)
    return 0;
  unsigned month = 0;
  for (unsigned i = 0; i < 12; ++i)
    if (strcmp(month_name, kMonths[i]) == 0) month = i + 1;
  if (month == 0 || day < 1 || day > 31 || year < 1970 || year > 2105 || hour > 23 || minute > 59 ||
      second > 60 || hour < 0 || minute < 0 || second < 0)
    return 0;
  int64_t seconds =
      days_from_civil(year, month, static_cast<unsigned>(day)) * 86400 + hour * 3600 + minute * 60 + second;
  // "+hhmm" is how far the writer's clock is ahead of UTC; names other than GMT and UT are
  // taken as UTC, as the servers write GMT.
  if ((zone[0] == '+' || zone[0] == '-') && strlen(zone) == 5 && strspn(zone + 1, "0123456789") == 4) {
    const int64_t offset =
        ((zone[1] - '0') * 10 + (zone[2] - '0')) * 3600 + ((zone[3] - '0') * 10 + (zone[4] - '0')) * 60;
    seconds += zone[0] == '+' ? -offset : offset;
  }
  return seconds > 0 && seconds <= 0xFFFFFFFFll ? static_cast<uint32_t>(seconds) : 0;
}

namespace {

// Finds the body of a stored message (mail-like: header lines, a blank line, the body) and
// writes it to out as host text. Copies the "From: " value into address (empty when there is
// none). False when the text has no sender or no blank line after its header; out is then
// untouched.
bool parse_stored_message(char* text, char* address, size_t address_capacity, char* out, size_t out_size) {
  address[0] = '\0';
  char* text_end = text + strlen(text);
  const char* from = find_nocase(text, text_end, "From: ");
  if (from == nullptr) return false;
  const char* value = from + strlen("From: ");
  const char* scan = line_end(value);
  copy_cut(address, address_capacity, value, static_cast<size_t>(scan - value));

  // A "Boundary: " value marks the line that closes the body ("--" and the value). The value
  // is only looked at here; the line end after it stays in the text, so a "Boundary: " line
  // that ends the header block still leaves its blank line to be found.
  const char* boundary = find_nocase(scan, text_end, "Boundary: ");
  const char* boundary_value = nullptr;
  size_t boundary_length = 0;
  if (boundary != nullptr) {
    boundary_value = boundary + strlen("Boundary: ");
    scan = line_end(boundary_value);
    boundary_length = static_cast<size_t>(scan - boundary_value);
    // A value that runs to the end of the text leaves no blank line; it fails below.
  }

  const char* body_start = body_after_blank_line(scan);
  if (body_start == nullptr) return false;
  char* body = text + (body_start - text);
  char* body_end = text_end;
  // The closing line: the text ends two characters before the value, just before its "--".
  // The search starts two characters into the body, so an empty body is the least it keeps.
  if (boundary_length > 0 && text_end - body >= 2) {
    const char* closing = find_exact(body + 2, text_end, boundary_value, boundary_length);
    if (closing != nullptr) body_end = text + (closing - 2 - text);
  }
  decode_body(body, body_end, body_encoding(text, body), out, out_size);
  return true;
}

// The listener's packets go ahead of everything waiting to be written (see send.h): it waits
// the gap between writes at most, never behind requests that await answers it must deliver.
void send_receipt(ListenerWorkArea* work, const char* address, uint32_t message_id) {
  MrimPacket* reply = &work->reply;
  mrim_packet_init(reply, MRIM_CS_MESSAGE_RECV, 0);
  mrim_append_lps(reply, address);
  mrim_append_ul(reply, message_id);
  mrim_send(reply, MRIM_SEND_LISTENER);
  mrim_log("MRIM_HSP: MRIM_CS_MESSAGE_RECV sended\n");
}

// The authorization-request blob: number 0, the contact, the address as nickname, empty first
// and last names, the address as e-mail, the text as reason; each text with its NUL.
uint32_t build_auth_record(BYTE* record, HANDLE contact, const char* address, const char* text) {
  uint32_t number = 0;
  auto contact_word = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(contact));
  size_t address_size = strlen(address) + 1;
  size_t text_size = strlen(text) + 1;
  BYTE* p = record;
  memcpy(p, &number, 4);
  p += 4;
  memcpy(p, &contact_word, 4);
  p += 4;
  memcpy(p, address, address_size);
  p += address_size;
  *p++ = 0;
  *p++ = 0;
  memcpy(p, address, address_size);
  p += address_size;
  memcpy(p, text, text_size);
  p += text_size;
  return static_cast<uint32_t>(p - record);
}

}  // namespace

namespace {

// A widely used server passes the asker's text of an authorization request on in the
// receiver's encoding, UTF-16LE to a Unicode session, yet without the flag that says so. Code
// page text never has a control character in every second byte, which UTF-16LE of the scripts
// people write (Latin, Cyrillic, Greek, ...: below U+2000) always has.
bool request_text_is_utf16(const MrimPacket* packet, uint32_t position, uint32_t flags) {
  if ((flags & MESSAGE_FLAG_AUTHORIZE) == 0 || (flags & MESSAGE_FLAG_UNICODE) != 0 || !mrim_session_unicode())
    return false;
  const BYTE* data = nullptr;
  uint32_t length = 0;
  if (mrim_read_lps_view(&position, packet, &data, &length) != 0 || length == 0 || length % 2 != 0)
    return false;
  for (uint32_t i = 1; i < length; i += 2)
    if (data[i] >= 0x20) return false;
  return true;
}

}  // namespace

void mrim_handle_message_ack(const MrimPacket* packet, ListenerWorkArea* work) {
  mrim_log("MRIM_HSP: MRIM_CS_MESSAGE_ACK received\n");
  uint32_t position = 0;
  uint32_t message_id = 0;
  uint32_t flags = 0;
  // The text is UTF-16LE when the server marks it so (and its length agrees), and for an
  // authorization request when it reads as such (see request_text_is_utf16).
  if (mrim_read_ul(&position, packet, &message_id) != 0 || mrim_read_ul(&position, packet, &flags) != 0 ||
      mrim_read_lps(&position, packet, work->address, sizeof work->address) != 0 ||
      mrim_read_text(&position, packet, work->message, sizeof work->message,
                     (flags & MESSAGE_FLAG_UNICODE) != 0 || request_text_is_utf16(packet, position, flags)) !=
          0) {
    mrim_log("MRIM_HSP: MRIM_CS_MESSAGE_ACK handled\n");
    return;
  }
  // An ignored contact's message is receipted, so that the server does not send it again, and
  // dropped; its typing shows nothing.
  HANDLE known = mrim_find_contact(work->address, 0, 0);
  if (known != NOT_FOUND && mrim_contact_ignored(known)) {
    bool typing = (flags & MESSAGE_FLAG_NOTIFY) != 0;
    if (!typing && !(flags & MESSAGE_FLAG_NORECV)) send_receipt(work, work->address, message_id);
    mrim_log("MRIM_HSP: MRIM_CS_MESSAGE_ACK from an ignored contact dropped\n");
    return;
  }
  HANDLE contact = known != NOT_FOUND ? known : mrim_find_contact(work->address, 1, 0);
  if (contact != NOT_FOUND) {
    bool typing = (flags & MESSAGE_FLAG_NOTIFY) != 0;
    call_service(MS_PROTO_CONTACTISTYPING, reinterpret_cast<WPARAM>(contact), typing ? kTypingSeconds : 0);
    if (!typing && !(flags & MESSAGE_FLAG_NORECV)) send_receipt(work, work->address, message_id);
    if (!typing) {
      if (flags & MESSAGE_FLAG_AUTHORIZE) {
        uint32_t size = build_auth_record(work->auth_record, contact, work->address, work->message);
        mrim_add_event(contact, EVENTTYPE_AUTHREQUEST, work->auth_record, size);
      } else if ((flags & MESSAGE_FLAG_CONTACT) != 0 &&
                 mrim_contacts_received(contact, work->message, unix_time_now()) > 0) {
        // Stored as the host's contacts event; a text that names none is kept as a message.
      } else {
        mrim_add_event(contact, EVENTTYPE_MESSAGE, work->message,
                       static_cast<uint32_t>(strlen(work->message) + 1));
      }
    }
  }
  mrim_log("MRIM_HSP: MRIM_CS_MESSAGE_ACK handled\n");
}

// Stored messages come in the old mail-like form (LF line ends, plain text, perhaps a
// "Boundary: ") and in the form of servers in use today (CR LF line ends, the body in base64 of
// UTF-16LE or UTF-8 text). A message that cannot be taken apart is still shown, as its whole
// text: from its sender when one was found, otherwise in the account's own history (contact
// 0), since a deleted message that nobody saw is lost for good. An empty stored text shows
// nothing. The deletion request follows in every case.
void mrim_handle_offline_message(const MrimPacket* packet, ListenerWorkArea* work) {
  mrim_log("MRIM_HSP: MRIM_CS_OFFLINE_MESSAGE_ACK received\n");
  uint32_t position = 0;
  uint32_t id_low = 0;
  uint32_t id_high = 0;
  if (mrim_read_ul(&position, packet, &id_low) != 0 || mrim_read_ul(&position, packet, &id_high) != 0 ||
      mrim_read_lps(&position, packet, work->message, sizeof work->message) != 0) {
    mrim_log("MRIM_HSP: MRIM_CS_OFFLINE_MESSAGE_ACK handled\n");
    return;
  }

  // Dated by the server when it stored it: on this machine's clock, and never later than now.
  const char* body_start = body_after_blank_line(work->message);
  const uint32_t stored = stored_message_time(
      work->message, body_start != nullptr ? body_start : work->message + strlen(work->message));
  const uint32_t now = unix_time_now();
  const uint32_t when = stored != 0 && local_time_of(stored) <= now ? local_time_of(stored) : now;
  bool parsed = parse_stored_message(work->message, work->address, sizeof work->address, work->converted,
                                     sizeof work->converted);
  bool have_sender = work->address[0] != '\0';
  if (!parsed) {
    mrim_log("MRIM_HSP: offline message cannot be parsed, shown as it is\n");
    host_text_from(work->message, strlen(work->message), TextForm::cp1251, work->converted,
                   sizeof work->converted);
  }
  const char* body = work->converted;
  if (parsed || body[0] != '\0') {
    HANDLE contact = have_sender ? mrim_find_contact(work->address, 1, 0) : nullptr;
    if (contact != NOT_FOUND) {
      mrim_add_event_at(contact, EVENTTYPE_MESSAGE, body, static_cast<uint32_t>(strlen(body) + 1), when);
      mrim_log("MRIM_HSP: offline message from %s added\n", have_sender ? work->address : "(unknown)");
    }
  }

  MrimPacket* reply = &work->reply;
  mrim_packet_init(reply, MRIM_CS_DELETE_OFFLINE_MESSAGE, 1);
  mrim_append_ul(reply, id_low);
  mrim_append_ul(reply, id_high);
  mrim_send(reply, MRIM_SEND_LISTENER);
  mrim_log("MRIM_HSP: MRIM_CS_DELETE_OFFLINE_MESSAGE sended\n");
  mrim_log("MRIM_HSP: MRIM_CS_OFFLINE_MESSAGE_ACK handled\n");
}
