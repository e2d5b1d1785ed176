// Microblog posts from the server (see microblog.h). A post names its author by address; one
// from nobody on the list is dropped, never made a contact: anyone may be pushed at us.
#include "incoming/microblog.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "contacts/contact_index.h"
#include "contacts/ignore.h"
#include "contacts/microblog.h"
#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/text.h"
#include "core/unix_time.h"
#include "incoming/events.h"
#include "protocol/codec.h"
#include "protocol/wire_text.h"

namespace {

// A post's id as its setting keeps it: decimal, all 64 bits.
struct PostIdText {
  char text[24];
};
PostIdText post_id_text(uint64_t id) {
  PostIdText out;
  snprintf(out.text, sizeof out.text, "%" PRIu64, id);
  return out;
}

void store_post(HANDLE contact, uint64_t id, uint32_t local_time, const char* text) {
  const char* module = protocol_state.module_name;
  write_setting_string(contact, module, "PostText", text);
  write_setting_dword(contact, module, "PostTime", local_time);
  write_setting_string(contact, module, "PostId", post_id_text(id).text);
}

bool is_our_address(const char* address) {
  SettingVariant email;
  if (!mrim_read_text_setting(nullptr, protocol_state.module_name, "EMail", &email)) return false;
  const bool same = same_address(email.text, address);
  free_setting(&email);
  return same;
}

}  // namespace

void mrim_contact_post(HANDLE contact, uint64_t id, uint32_t server_time, const char* text) {
  if (id == 0 || text[0] == '\0') return;
  const char* module = protocol_state.module_name;
  SettingVariant known;
  if (mrim_read_text_setting(contact, module, "PostId", &known)) {
    const bool seen = strcmp(known.text, post_id_text(id).text) == 0;
    free_setting(&known);
    if (seen) return;
  }
  const uint32_t local_time = local_time_of(server_time);
  store_post(contact, id, local_time, text);
  mrim_add_event_at(contact, EVENTTYPE_MICROBLOG, text, static_cast<uint32_t>(strlen(text) + 1), local_time);
}

void mrim_handle_user_blog_status(const MrimPacket* packet, ListenerWorkArea* work) {
  mrim_log("MRIM_HSP: MRIM_CS_USER_BLOG_STATUS received\n");
  uint32_t position = 0;
  uint32_t flags = 0;
  uint32_t id_low = 0;
  uint32_t id_high = 0;
  uint32_t time = 0;
  if (mrim_read_ul(&position, packet, &flags) != 0 ||
      mrim_read_lps(&position, packet, work->address, sizeof work->address) != 0 ||
      mrim_read_ul(&position, packet, &id_low) != 0 || mrim_read_ul(&position, packet, &id_high) != 0 ||
      mrim_read_ul(&position, packet, &time) != 0 ||
      mrim_read_text(&position, packet, work->message, sizeof work->message, mrim_session_unicode()) != 0) {
    mrim_log("MRIM_HSP: MRIM_CS_USER_BLOG_STATUS cut short, dropped\n");
    return;
  }
  const uint64_t id = (static_cast<uint64_t>(id_high) << 32) | id_low;
  if (is_our_address(work->address)) {
    // Our own post, stored: the answer to the oldest one waiting.
    if (id != 0) store_post(nullptr, id, local_time_of(time), work->message);
    mrim_post_answered();
  } else {
    HANDLE contact = contact_index_find(work->address);
    if (contact == nullptr || !mrim_contact_is_ours(contact) || mrim_contact_ignored(contact)) {
      mrim_log("MRIM_HSP: a post of nobody on the list, dropped\n");
    } else {
      mrim_contact_post(contact, id, time, work->message);
    }
  }
  mrim_log("MRIM_HSP: MRIM_CS_USER_BLOG_STATUS handled\n");
}

bool mrim_user_info_post(const char* key, const char* value) {
  const char* module = protocol_state.module_name;
  if (strcmp(key, "micblog.status.text") == 0) {
    write_setting_string(nullptr, module, "PostText", value);
  } else if (strcmp(key, "micblog.status.time") == 0) {
    const unsigned long long parsed = strtoull(value, nullptr, 10);
    const uint32_t time = parsed <= 0xFFFFFFFFull ? static_cast<uint32_t>(parsed) : 0;
    write_setting_dword(nullptr, module, "PostTime", time != 0 ? local_time_of(time) : 0);
  } else if (strcmp(key, "micblog.status.id") == 0) {
    write_setting_string(nullptr, module, "PostId", post_id_text(strtoull(value, nullptr, 10)).text);
  } else {
    return false;
  }
  return true;
}
