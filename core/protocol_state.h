// The account's global state: the module name and the single-word fields that the host's
// threads and the plug-in's own threads share. Every word is an atomic so that readers on other
// threads always see whole, current values.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/host_api.h"

constexpr int MODULE_NAME_MAX = 30;

struct ProtocolState {
  char module_name[MODULE_NAME_MAX + 1];
  std::atomic<uint32_t> last_seq;
  std::atomic<uint32_t> contact_list_loading;
  std::atomic<HANDLE> hook_contact_deleted;
  std::atomic<HANDLE> hook_setting_changed;
  std::atomic<HANDLE> hook_options_init;
  std::atomic<HANDLE> hook_userinfo_init;
  std::atomic<HANDLE> hook_group_change;
  std::atomic<HANDLE> netlib_user;
  std::atomic<HANDLE> connection;
  std::atomic<HANDLE> packet_receiver;
  std::atomic<HANDLE> redirect_connection;
  std::atomic<HANDLE> redirect_receiver;
  std::atomic<int> status;
  std::atomic<uint32_t> unread_mail;
  std::atomic<uint32_t> login_in_progress;
  // The revision the current (or next) session speaks, as its packets' headers carry it. The
  // connect thread sets it from the account before greeting the server; the listener and the
  // request senders read it for the texts' encoding.
  std::atomic<uint32_t> wire_revision;
};

// The host's version, as the information export was told it. Kept apart from ProtocolState:
// the host calls that export before Load, which resets the state.
extern std::atomic<DWORD> host_version;
// True when the host takes UTF-8 settings, event texts and sends (HOST_VERSION_UTF8 on). The
// plug-in's own texts ("host text" in the code) are then UTF-8, otherwise code page 1251.
bool host_takes_utf8();

extern ProtocolState protocol_state;
extern PluginLink* plugin_link;
extern HINSTANCE dll_instance;

// Back to the state of a freshly attached library: all zero, status offline.
void protocol_state_reset();
