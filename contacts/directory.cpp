// The directory request and its reply header.
#include "contacts/directory.h"

#include <cstring>

#include "core/log.h"
#include "protocol/request.h"

namespace {

int ask_once(MrimPacket* packet, const char* caller, const char* user, const char* domain,
             uint32_t capacity) {
  mrim_packet_init(packet, MRIM_CS_DIRECTORY_REQUEST, mrim_next_seq());
  int built = mrim_append_ul(packet, 0) | mrim_append_lps(packet, user) | mrim_append_ul(packet, 1) |
              mrim_append_lps(packet, domain);
  if (built != 0) return 1;
  mrim_log("%s: MRIM_CS_DIRECTORY_REQUEST(%s,%s)\n", caller, log_private(user), log_private(domain));
  return mrim_directory_exchange(packet, caller, capacity);
}

enum class ValueForm { code_page, utf16, either };

ValueForm value_form(const char* name) {
  static const char* const kCodePage[] = {"Username", "Domain",      "Birthday",  "Phone",
                                          "Zodiac",   "mrim_status", "status_uri"};
  static const char* const kEither[] = {"Sex", "Country_id", "City_id"};
  for (const char* field : kCodePage)
    if (strcmp(name, field) == 0) return ValueForm::code_page;
  for (const char* field : kEither)
    if (strcmp(name, field) == 0) return ValueForm::either;
  return ValueForm::utf16;
}

// These fields hold digits; in UTF-16LE every second byte is then 0, which code page text of
// digits never has.
bool looks_utf16(const BYTE* data, uint32_t length) {
  if (length == 0 || length % 2 != 0) return false;
  for (uint32_t i = 1; i < length; i += 2)
    if (data[i] != 0) return false;
  return true;
}

// Status 0 of MRIM_CS_DIRECTORY_INFO: nobody found (others are "found" and refusals).
bool nobody_found(const MrimPacket* reply) {
  uint32_t position = 0;
  uint32_t status = 1;
  return mrim_read_ul(&position, reply, &status) == 0 && status == 0;
}

}  // namespace

int mrim_directory_exchange(MrimPacket* packet, const char* caller, uint32_t capacity) {
  const MrimRequestKind kind{caller, MRIM_CS_DIRECTORY_INFO, "MRIM_CS_DIRECTORY_INFO", capacity, false, false,
                             false};
  uint32_t position = 0;
  uint32_t status = 0;
  MrimRequestResult result =
      mrim_request(packet, kind, &position, &status, "%s: MRIM_CS_DIRECTORY_REQUEST sended\n", caller);
  return result == MRIM_REQUEST_OK || result == MRIM_REQUEST_NO_STATUS ? 0 : 1;
}

bool mrim_directory_value_utf16(const char* name, const BYTE* data, uint32_t length) {
  ValueForm form = value_form(name);
  return form == ValueForm::utf16 ? length % 2 == 0 : form == ValueForm::either && looks_utf16(data, length);
}

// A widely used server pages a query repeated within about two minutes: the same lookup of one
// address then gets the page after its only row, empty. An address found nowhere is asked for
// once more, which that server answers from the first page again; a true "nobody" stays one.
int mrim_directory_request(MrimPacket* packet, const char* caller, const char* user, const char* domain,
                           uint32_t capacity) {
  int result = ask_once(packet, caller, user, domain, capacity);
  if (result != 0 || !nobody_found(packet)) return result;
  mrim_log("%s: nobody found; asking once more\n", caller);
  return ask_once(packet, caller, user, domain, capacity);
}

MrimDirectoryHeader mrim_directory_reply_header(const MrimPacket* reply, uint32_t* position,
                                                uint32_t* field_count) {
  uint32_t status = 0;
  uint32_t unused = 0;
  *position = 0;
  if (mrim_read_ul(position, reply, &status) != 0 || status != MRIM_DIRECTORY_FOUND)
    return MRIM_DIRECTORY_NOT_FOUND;
  if (mrim_read_ul(position, reply, field_count) != 0 || mrim_read_ul(position, reply, &unused) != 0 ||
      mrim_read_ul(position, reply, &unused) != 0)
    return MRIM_DIRECTORY_FOUND_CUT;
  return MRIM_DIRECTORY_HEADER;
}
