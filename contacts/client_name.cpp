// The contact's client name, from the description its presence carries.
#include "contacts/client_name.h"

#include <cstring>

#include "core/host_services.h"
#include "core/host_text.h"
#include "core/protocol_state.h"

namespace {

// The value of name="…" in the description, or false. A value without its closing quote runs to
// the end of the text.
bool attribute(const char* description, const char* name, const char** value, size_t* length) {
  const size_t name_length = strlen(name);
  for (const char* p = strstr(description, name); p != nullptr; p = strstr(p + 1, name)) {
    // The whole name only: "version" must not match inside "subversion".
    const bool starts_word = p == description || p[-1] == ' ' || p[-1] == '\t';
    if (!starts_word || strncmp(p + name_length, "=\"", 2) != 0) continue;
    *value = p + name_length + 2;
    const char* end = strchr(*value, '"');
    *length = end != nullptr ? static_cast<size_t>(end - *value) : strlen(*value);
    return true;
  }
  return false;
}

// Appends length bytes of host text to out (holding used bytes), cut to its size at a character's
// end.
void append(char* out, size_t out_size, size_t* used, const char* text, size_t length) {
  if (*used + 1 >= out_size) return;
  length = host_text_fit(text, length, out_size - *used);
  memcpy(out + *used, text, length);
  *used += length;
  out[*used] = '\0';
}

}  // namespace

void mrim_client_name(const char* description, char* out, size_t out_size) {
  out[0] = '\0';
  size_t used = 0;
  const char* name = nullptr;
  size_t name_length = 0;
  if (!attribute(description, "client", &name, &name_length)) {
    while (*description == ' ') ++description;
    append(out, out_size, &used, description, strlen(description));
    while (used > 0 && out[used - 1] == ' ') out[--used] = '\0';
    return;
  }
  append(out, out_size, &used, name, name_length);
  const char* version = nullptr;
  size_t version_length = 0;
  if (attribute(description, "version", &version, &version_length) && version_length > 0) {
    if (used > 0) append(out, out_size, &used, " ", 1);
    append(out, out_size, &used, version, version_length);
  }
}

void mrim_contact_set_client(HANDLE contact, const char* description) {
  char name[MRIM_CLIENT_NAME_SIZE];
  mrim_client_name(description, name, sizeof name);
  if (name[0] == '\0') return;
  const char* module = protocol_state.module_name;
  SettingVariant old;
  if (mrim_read_text_setting(contact, module, "MirVer", &old)) {
    const bool same = strcmp(old.text, name) == 0;
    free_setting(&old);
    if (same) return;
  }
  write_setting_string(contact, module, "MirVer", name);
}
