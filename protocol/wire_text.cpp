// The session's revision and its texts.
#include "protocol/wire_text.h"

#include <cstdlib>
#include <cstring>

#include "core/host_services.h"
#include "core/host_text.h"
#include "core/protocol_state.h"

namespace {

uint32_t session_minor() { return protocol_state.wire_revision.load() & 0xFFFF; }

}  // namespace

uint32_t mrim_wanted_revision() {
  const char* module = protocol_state.module_name;
  // "ProtocolRevision" names the minor revision; an account of an older build has only the
  // "LegacyProtocol" byte, which asks for 1.8. Any other number is no revision we speak.
  switch (get_setting_dword(nullptr, module, "ProtocolRevision", 0)) {
    case 8:
      return MRIM_PROTO_VERSION_LEGACY;
    case 19:
      return MRIM_PROTO_VERSION_MODERN;
    case 20:
      return MRIM_PROTO_VERSION_MICROBLOG;
    default:
      return get_setting_byte(nullptr, module, "LegacyProtocol", 0) != 0 ? MRIM_PROTO_VERSION_LEGACY
                                                                         : MRIM_PROTO_VERSION_MICROBLOG;
  }
}

bool mrim_session_unicode() { return session_minor() >= MRIM_MINOR_UNICODE; }
bool mrim_session_status_texts() { return session_minor() >= MRIM_MINOR_STATUS_TEXTS; }
bool mrim_session_microblog() { return session_minor() >= (MRIM_PROTO_VERSION_MICROBLOG & 0xFFFF); }

int mrim_read_text(uint32_t* position, const MrimPacket* packet, char* out, uint32_t out_size, bool utf16) {
  const BYTE* data = nullptr;
  uint32_t length = 0;
  if (mrim_read_lps_view(position, packet, &data, &length) != 0) return 1;
  TextForm form = utf16 && length % 2 == 0 ? TextForm::utf16le : TextForm::cp1251;
  host_text_from(data, length, form, out, out_size);
  return 0;
}

// The converted text is built apart first: the codec refuses an item whole when it does not
// fit, and only then is its length known.
int mrim_append_text(MrimPacket* packet, const char* text, bool utf16) {
  size_t length = strlen(text);
  TextForm form = utf16 ? TextForm::utf16le : TextForm::cp1251;
  size_t room = host_text_to_room(length, form);
  auto* converted = static_cast<uint8_t*>(malloc(room > 0 ? room : 1));
  if (converted == nullptr) return 1;
  size_t used = host_text_to(text, length, form, converted, room);
  int result = mrim_append_lps_bytes(packet, converted, used);
  free(converted);
  return result;
}
