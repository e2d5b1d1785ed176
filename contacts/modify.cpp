// MRIM_CS_MODIFY_CONTACT: changing or removing an entry of the server's list, and waiting for
// the server's word on it. Renames, visibility, moves and deletions all go through here.
#include "contacts/modify.h"

#include <cstdlib>

#include "contacts/edit_failure.h"
#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "protocol/codec.h"
#include "protocol/request.h"
#include "protocol/wire.h"
#include "protocol/wire_text.h"

namespace {

// Request and reply of a modification share one buffer; the reply read is its first UL only.
constexpr uint32_t kModifyBufferSize = 4140;

// Builds MRIM_CS_MODIFY_CONTACT, sends it and waits for its acknowledgement in the same buffer.
// The codec needs a whole packet buffer to bound its appends, so one is allocated even though
// only kModifyBufferSize bytes of it take the reply. 0 when the server answered
// CONTACT_OPER_SUCCESS, 1 for every failure, which the user is told of as `edit`.
// A group's name goes in the address's place too, written as a name is (see groups.h).
int modify_exchange(const char* caller, ContactEdit edit, uint32_t number, uint32_t flags, uint32_t group,
                    const char* address, const char* name, bool address_is_name = false) {
  MrimRequestResult outcome = MRIM_REQUEST_NOT_SENT;
  uint32_t status = 0;
  auto* packet = static_cast<MrimPacket*>(malloc(sizeof(MrimPacket)));
  if (packet == nullptr) {
    mrim_contact_edit_failed(edit, address, outcome, status);
    return 1;
  }
  mrim_packet_init(packet, MRIM_CS_MODIFY_CONTACT, mrim_next_seq());
  // The Unicode mark is the list's, not the contact's, and a server that adds flags instead of
  // setting them would store an echoed one as another bit; stored flags of older builds may
  // still hold it.
  flags &= ~CONTACT_FLAG_UNICODE_NAME;
  int built = mrim_append_ul(packet, number) | mrim_append_ul(packet, flags) | mrim_append_ul(packet, group) |
              (address_is_name ? mrim_append_text(packet, address, mrim_session_unicode())
                               : mrim_append_lps(packet, address)) |
              mrim_append_text(packet, name, mrim_session_unicode()) | mrim_append_ul(packet, 0);
  int result = 1;
  if (built == 0) {
    const MrimRequestKind kind{
        caller, MRIM_CS_MODIFY_CONTACT_ACK, "MRIM_CS_MODIFY_CONTACT_ACK", kModifyBufferSize, false, false,
        true};
    uint32_t position = 0;
    outcome = mrim_request(packet, kind, &position, &status,
                           "%s: MRIM_CS_MODIFY_CONTACT(%lu,%lu,%lu,%s,%s) sended\n", caller,
                           static_cast<unsigned long>(number), static_cast<unsigned long>(flags),
                           static_cast<unsigned long>(group), address, log_private(name));
    if (outcome == MRIM_REQUEST_OK && status == CONTACT_OPER_SUCCESS) {
      mrim_log("%s: MRIM_CS_MODIFY_CONTACT_ACK(CONTACT_OPER_SUCCESS)\n", caller);
      result = 0;
    }
  }
  free(packet);
  if (result != 0) mrim_contact_edit_failed(edit, address, outcome, status);
  return result;
}

}  // namespace

int mrim_do_modify(uint32_t number, const char* address, uint32_t flags, uint32_t group, const char* name) {
  mrim_log("mrim_do_modify: started\n");
  int result = modify_exchange("mrim_do_modify", CONTACT_EDIT_CHANGE, number, flags, group, address, name);
  if (result == 0) mrim_log("mrim_do_modify: ok\n");
  mrim_log("mrim_do_modify: ended\n");
  return result == 0 ? 0 : 1;
}

int mrim_modify_contact(HANDLE contact, uint32_t number, uint32_t flags, uint32_t group) {
  SettingVariant email;
  if (!mrim_read_text_setting(contact, protocol_state.module_name, "EMail", &email)) return 1;
  SettingVariant name;
  int result = 1;
  if (mrim_read_text_setting(contact, "CList", "MyHandle", &name)) {
    result = mrim_do_modify(number, email.text, flags, group, name.text);
    free_setting(&name);
  }
  free_setting(&email);
  return result;
}

// Takes a buffer per call rather than one for the plug-in's life, so that two deletions on two
// host threads can never build into the same memory.
int mrim_do_remove(const char* address, uint32_t number, uint32_t group) {
  mrim_log("mrim_do_remove: started\n");
  int result = modify_exchange("mrim_do_remove", CONTACT_EDIT_DELETE, number, CONTACT_FLAG_REMOVED, group,
                               address, address);
  mrim_log(result == 0 ? "mrim_do_remove: ended ok\n" : "mrim_do_remove: ended with error\n");
  return result == 0 ? 0 : 1;
}

int mrim_do_modify_group(uint32_t index, const char* name, bool remove) {
  mrim_log("mrim_do_modify_group: started\n");
  const uint32_t flags = CONTACT_FLAG_GROUP | (remove ? CONTACT_FLAG_REMOVED : 0);
  int result =
      modify_exchange("mrim_do_modify_group", remove ? CONTACT_EDIT_DELETE_GROUP : CONTACT_EDIT_RENAME_GROUP,
                      index, flags, 0, name, name, true);
  mrim_log(result == 0 ? "mrim_do_modify_group: ended ok\n" : "mrim_do_modify_group: ended with error\n");
  return result == 0 ? 0 : 1;
}
