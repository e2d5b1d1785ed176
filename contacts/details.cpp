// A contact's directory details: the same directory request as the e-mail search, whose first
// reply row becomes the contact's settings ("Nick", "FirstName", birthday, gender and so on).
// Everything runs on the host's calling thread; every buffer is the call's own.
#include "contacts/details.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "contacts/directory.h"
#include "core/host_services.h"
#include "core/host_text.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "protocol/codec.h"
#include "protocol/receive.h"
#include "protocol/send.h"
#include "protocol/wire_text.h"

namespace {

// The reply is received whole, up to the largest packet, rather than cut at 1,068 bytes (the
// request's header and 1,024 bytes of body): a directory entry with many or long fields would
// otherwise lose its last values, and with them the whole lookup.
constexpr uint32_t kReplyCapacity = sizeof(MrimPacket);

constexpr BYTE kGenderMale = 77;    // "M"
constexpr BYTE kGenderFemale = 70;  // "F"

// One item of the reply appended to the list with its NUL, as host text: a name in the code
// page, a value as value_form says in a Unicode session. A text holding a NUL byte keeps what
// comes before it. False when the read fails or the list is full.
bool read_into_list(uint32_t* position, const MrimPacket* packet, DetailsList* list, size_t size,
                    size_t* used, const char* name) {
  size_t room = size - *used;
  if (room == 0) return false;
  const BYTE* data = nullptr;
  uint32_t length = 0;
  if (mrim_read_lps_view(position, packet, &data, &length) != 0) return false;
  TextForm form = TextForm::cp1251;
  if (name != nullptr && mrim_session_unicode()) {
    if (mrim_directory_value_utf16(name, data, length)) form = TextForm::utf16le;
  }
  // Text up to an embedded NUL only, as the list's items are NUL-terminated.
  if (form == TextForm::cp1251) {
    const void* nul = memchr(data, 0, length);
    if (nul != nullptr) length = static_cast<uint32_t>(static_cast<const BYTE*>(nul) - data);
  }
  host_text_from(data, length, form, list + *used, room);
  *used += strlen(list + *used) + 1;
  return true;
}

// One number as "%lu" reads it: white space, an optional sign, at least one digit. strtoul
// gives the same value and, unlike the scanf family, defines what a too-large number yields.
bool scan_number(const char** text, unsigned long* out) {
  const char* p = *text;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '+' || *p == '-') ++p;
  if (!isdigit(static_cast<unsigned char>(*p))) return false;
  char* end = nullptr;
  *out = strtoul(*text, &end, 10);
  *text = end;
  return true;
}

// "%lu-%lu-%lu": true when all three numbers were read.
bool scan_birthday(const char* text, unsigned long* year, unsigned long* month, unsigned long* day) {
  if (!scan_number(&text, year) || *text++ != '-') return false;
  if (!scan_number(&text, month) || *text++ != '-') return false;
  return scan_number(&text, day);
}

// The value's leading decimal number, 0 when there is none.
BYTE leading_number(const char* text) { return static_cast<BYTE>(strtol(text, nullptr, 10) & 0xFF); }

void store_field(HANDLE contact, const char* name, const char* value) {
  const char* module = protocol_state.module_name;
  static const struct {
    const char* field;
    const char* setting;
  } kTextFields[] = {
      {"FirstName", "FirstName"}, {"LastName", "LastName"},     {"Location", "Location"},
      {"Nickname", "Nick"},       {"Phone", "Phone"},           {"Zodiac", "Zodiac"},
      {"City_id", "City_id"},     {"Country_id", "Country_id"},
  };
  for (const auto& field : kTextFields) {
    if (strcmp(name, field.field) == 0) {
      write_setting_string(contact, module, field.setting, value);
      return;
    }
  }
  if (strcmp(name, "BDay") == 0) {
    write_setting_byte(contact, module, "BirthDay", leading_number(value));
  } else if (strcmp(name, "BMonth") == 0) {
    write_setting_byte(contact, module, "BirthMonth", leading_number(value));
  } else if (strcmp(name, "Birthday") == 0) {
    unsigned long year = 0;
    unsigned long month = 0;
    unsigned long day = 0;
    if (scan_birthday(value, &year, &month, &day)) {
      write_setting_word(contact, module, "BirthYear", static_cast<WORD>(year & 0xFFFF));
      write_setting_byte(contact, module, "BirthMonth", static_cast<BYTE>(month & 0xFF));
      write_setting_byte(contact, module, "BirthDay", static_cast<BYTE>(day & 0xFF));
    }
  } else if (strcmp(name, "Sex") == 0) {
    BYTE gender = strcmp(value, "1") == 0 ? kGenderMale : strcmp(value, "2") == 0 ? kGenderFemale : 0;
    write_setting_byte(contact, module, "Gender", gender);
  }
}

void acknowledge_details(HANDLE contact, int result) {
  broadcast_ack(protocol_state.module_name, contact, ACKTYPE_GETINFO, result, reinterpret_cast<HANDLE>(1), 0);
}

}  // namespace

DetailsList* mrim_details_from_reply(const MrimPacket* packet) {
  uint32_t position = 0;
  uint32_t field_count = 0;
  if (mrim_directory_reply_header(packet, &position, &field_count) != MRIM_DIRECTORY_HEADER) return nullptr;

  // Each item drops its four-byte length for one NUL, and the four numbers read above leave
  // room for the closing NULs; as host text an item takes at most twice its bytes (a code
  // page letter becomes two UTF-8 bytes, two bytes of UTF-16 at most three).
  size_t size = 2 * static_cast<size_t>(packet->dlen);
  auto* list = static_cast<DetailsList*>(malloc(size));
  if (list == nullptr) return nullptr;

  // The names once, to find where the values begin; every read consumes at least four bytes
  // or fails, so a lying count ends with the body.
  uint32_t names = position;
  uint32_t values = position;
  for (uint32_t i = 0; i < field_count; ++i) {
    if (mrim_read_lps(&values, packet, nullptr, 0) != 0) {
      free(list);
      return nullptr;
    }
  }
  size_t used = 0;
  for (uint32_t i = 0; i < field_count; ++i) {
    size_t name_at = used;
    if (!read_into_list(&names, packet, list, size, &used, nullptr) ||
        !read_into_list(&values, packet, list, size, &used, list + name_at)) {
      free(list);
      return nullptr;
    }
  }
  if (size - used < 3) {
    free(list);
    return nullptr;
  }
  memset(list + used, 0, 3);
  return list;
}

// The address is split in a copy of its own rather than inside the packet buffer: building the
// request over a copy in the same buffer would move overlapping bytes. The request is bounded
// by the packet buffer, so an address too long for it fails the lookup before anything is sent.
DetailsList* mrim_do_getinfo(const char* address) {
  mrim_log("mrim_do_getinfo: started\n");
  DetailsList* list = nullptr;
  size_t length = strlen(address);
  auto* packet = static_cast<MrimPacket*>(malloc(sizeof(MrimPacket)));
  auto* user = static_cast<char*>(malloc(length + 1));
  char* at = nullptr;
  if (packet != nullptr && user != nullptr) {
    memcpy(user, address, length + 1);
    at = strchr(user, '@');
  }
  if (at != nullptr) {
    *at = '\0';
    if (mrim_directory_request(packet, "mrim_do_getinfo", user, at + 1, kReplyCapacity) == 0)
      list = mrim_details_from_reply(packet);
  }
  free(user);
  free(packet);
  mrim_log(list != nullptr ? "mrim_do_getinfo: ended ok\n" : "mrim_do_getinfo: ended with error\n");
  return list;
}

void mrim_store_details(HANDLE contact, const DetailsList* list) {
  const char* name = list;
  while (*name != '\0') {
    const char* value = name + strlen(name) + 1;
    store_field(contact, name, value);
    name = value + strlen(value) + 1;
  }
}

INT_PTR MRIM_GetInfo(WPARAM, LPARAM lparam) {
  auto* call = reinterpret_cast<const ProtocolCall*>(lparam);
  if (call == nullptr) return 1;
  HANDLE contact = call->contact;
  const char* module = protocol_state.module_name;
  SettingVariant email;
  if (!mrim_read_text_setting(contact, module, "EMail", &email)) return 1;
  write_setting_string(contact, module, "e-mail", email.text);

  DetailsList* list = mrim_do_getinfo(email.text);
  if (list == nullptr) {
    acknowledge_details(contact, ACKRESULT_FAILED);
  } else {
    mrim_store_details(contact, list);
    acknowledge_details(contact, ACKRESULT_SUCCESS);
    free(list);
  }
  free_setting(&email);
  return 0;
}
