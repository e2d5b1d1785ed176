// The entry layer: the library entry routine, the information record, Load and Unload (which
// wire the services, hooks, threads and the listener's packet handler), the all-modules-loaded
// handler and the four protocol services that need no network.
#include "entry/vortel.h"

#include <cstdlib>
#include <cstring>

#include "contacts/apparent.h"
#include "contacts/authorization.h"
#include "contacts/away_message.h"
#include "contacts/contact_index.h"
#include "contacts/contact_records.h"
#include "contacts/contact_transfer.h"
#include "contacts/details.h"
#include "contacts/groups.h"
#include "contacts/list_editing.h"
#include "contacts/messaging.h"
#include "contacts/microblog.h"
#include "contacts/search.h"
#include "core/build_kind.h"
#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/unix_time.h"
#include "core/worker_threads.h"
#include "incoming/dispatcher.h"
#include "incoming/newmail.h"
#include "protocol/listener.h"
#include "protocol/online.h"
#include "protocol/receive.h"
#include "protocol/receivers.h"
#include "protocol/reconnect.h"
#include "protocol/send.h"
#include "protocol/session.h"
#include "protocol/status.h"
#include "protocol/tls_link.h"
#include "protocol/wire_text.h"
#include "resources/resource.h"
#include "resources/version.h"
#include "services/avatars.h"
#include "ui/mrim_options.h"
#include "ui/mrim_search_ui.h"
#include "ui/mrim_userinfo.h"

namespace {

PluginInfo plugin_info = {
    sizeof(PluginInfo),
    "MRIM protocol support",
    MRIM_VERSION_DWORD,
    mrim_build_description,
    "MRIM plug-in developers",
    "mrim-plugin@example.org",
    "(c) 2026 MRIM plug-in developers",
    "https://example.org/mrim-plugin",
    0,
    0,
};

constexpr int kMenuPosition = 1000030000;

struct ServiceEntry {
  const char* suffix;
  HostServiceFn handler;
};

// The protocol services, one a line, in the order the host sees them created.
// clang-format off
const ServiceEntry kServices[] = {
    {"/GetCaps", MRIM_GetCaps},
    {"/GetName", MRIM_GetName},
    {"/LoadIcon", MRIM_LoadIcon},
    {"/SetStatus", SetStatus},
    {"/GetStatus", MRIM_GetStatus},
    {"/SearchByEmail", MRIM_SearchByEmail},
    {"/SearchByName", MRIM_SearchByName},
    {"/CreateAdvSearchUI", MRIM_CreateAdvSearchUI},
    {"/SearchByAdvanced", MRIM_SearchByAdvanced},
    {"/AddToList", MRIM_AddToList},
    {"/SendMsg", MRIM_SendMessage},
    {"/UserIsTyping", MRIM_UserIsTyping},
    {"/SetApparentMode", MRIM_SetApparentMode},
    {"/GetInfo", MRIM_GetInfo},
    {"/Authorize", MRIM_Authorize},
    {"/AuthDeny", MRIM_AuthDeny},
    {"/ReqAuth", MRIM_ReqAuth},
    {"/AuthRequest", MRIM_AuthRequest},
    {"/ConnectionSecurity", MRIM_ConnectionSecurity},
    {"/GetAwayMsg", MRIM_GetAwayMsg},
    {"/SetAwayMsg", MRIM_SetAwayMsg},
    {"/SendContacts", MRIM_SendContacts},
    {"/RecvContacts", MRIM_RecvContacts},
    {"/GetAvatarInformation", avatars_get_information},
    {"/PostMicroblog", MRIM_PostMicroblog},
};
// clang-format on

void create_protocol_services() {
  // Room for the longest module name and the longest suffix ("/GetAvatarInformation").
  char name[MODULE_NAME_MAX + 32];
  for (const ServiceEntry& service : kServices) {
    snprintf(name, sizeof name, "%s%s", protocol_state.module_name, service.suffix);
    plugin_link->CreateServiceFunction(name, service.handler);
  }
}

void add_authorization_menu_item() {
  char service[MODULE_NAME_MAX + 32];
  snprintf(service, sizeof service, "%s/ReqAuth", protocol_state.module_name);
  ContactMenuItem item{};
  item.size = sizeof item;
  item.name = translate("Authorization..");
  item.flags = 0;
  item.position = kMenuPosition;
  item.icon = nullptr;
  item.service = service;
  item.contact_owner = protocol_state.module_name;
  // The item lives as long as the host's menu; nothing of ours refers to it again.
  call_service(MS_CLIST_ADDCONTACTMENUITEM, 0, reinterpret_cast<LPARAM>(&item));
}

// The listener's block; kept so that Unload can free it once the thread has ended.
ListenerWorkArea* listener_block = nullptr;
void* newmail_block = nullptr;

void start_worker_threads() {
  // The listener hands every whole packet up to the dispatcher.
  listener_set_packet_handler(MRIM_HSP);
  listener_block = static_cast<ListenerWorkArea*>(malloc(sizeof(ListenerWorkArea)));
  if (listener_block != nullptr && thread_start_long(ListenThread, listener_block) != 0) {
    free(listener_block);
    listener_block = nullptr;
  }
  // The keep-alive thread needs no block of its own.
  thread_start_long(WatchDogThread, nullptr);
  newmail_block = calloc(1, NEWMAIL_BLOCK_SIZE);
  if (newmail_block != nullptr && thread_start_long(NewMailThread, newmail_block) != 0) {
    free(newmail_block);
    newmail_block = nullptr;
  }
}

// Unblocks the threads that wait on the host so that they see the stop request.
void wake_threads_for_unload() {
  receiver_close(session_receiver_take());
  tls_link_close(protocol_state.connection.exchange(nullptr));
  // Cuts short a connect thread's wait of up to 10 s for the address service.
  receiver_close(receiver_take(protocol_state.redirect_receiver));
  reconnect_cancel_all();
  pending_queue_wake_all();
  mrim_send_wake_all();
  listener_wake();
  avatars_wake_all();
  mrim_posts_wake_all();
}

void unhook(std::atomic<HANDLE>& hook) {
  HANDLE handle = hook.exchange(nullptr);
  if (handle != nullptr) plugin_link->UnhookEvent(handle);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD, LPVOID) {
  dll_instance = instance;
  return 1;
}

void derive_module_name(const char* file_name, char* out) {
  const char* base = strrchr(file_name, '\\');
  base = base != nullptr ? base + 1 : file_name;
  char name[MAX_PATH];
  lstrcpynA(name, base, sizeof name);
  char* dot = strrchr(name, '.');
  if (dot != nullptr) *dot = '\0';
  lstrcpynA(out, name, MODULE_NAME_MAX + 1);
}

MRIM_EXPORT PluginInfo* MirandaPluginInfo(DWORD version) {
  host_version = version;
  return &plugin_info;
}

MRIM_EXPORT int Load(PluginLink* link) {
  plugin_link = link;
  protocol_state_reset();
  contact_index_reset();
  ping_period = MRIM_DEFAULT_PING_PERIOD;
  server_clock_offset = 0;
  threads_reset();
  session_reset();
  mrim_grants_reset();
  tls_link_reset();
  avatars_reset();
  session_install(SessionHooks{mrim_go_online, mrim_announce_status});

  char file_name[253];
  DWORD length = GetModuleFileNameA(dll_instance, file_name, sizeof file_name);
  if (length == 0) file_name[0] = '\0';
  derive_module_name(file_name, protocol_state.module_name);
  const char* module = protocol_state.module_name;

  log_read_setting();
  log_init(module);
  mrim_log("vortel: Starting.\n");

  ProtocolDescriptor descriptor{sizeof descriptor, module, PROTOTYPE_PROTOCOL};
  call_service(MS_PROTO_REGISTERMODULE, 0, reinterpret_cast<LPARAM>(&descriptor));

  if (get_setting_dword(nullptr, module, "Timeout", 0) == 0)
    write_setting_dword(nullptr, module, "Timeout", 10);
  // A reconnect planned by an earlier run is not coming.
  if (get_setting_dword(nullptr, module, "ReconnectIn", 0) != 0)
    write_setting_dword(nullptr, module, "ReconnectIn", 0);

  check_account_setup();

  plugin_link->HookEvent(ME_SYSTEM_MODULESLOADED, MRIM_ModulesLoaded);

  SettingVariant email;
  if (mrim_read_text_setting(nullptr, module, "EMail", &email)) {
    write_setting_string(nullptr, module, "Nick", email.text);
    mrim_log("Load: \"Nick\" (%s) is set.\n", email.text);
    free_setting(&email);
  }

  create_protocol_services();
  add_authorization_menu_item();
  start_worker_threads();
  return 0;
}

MRIM_EXPORT int Unload(void) {
  close_handle(protocol_state.netlib_user.exchange(nullptr));
  unhook(protocol_state.hook_options_init);
  unhook(protocol_state.hook_contact_deleted);
  unhook(protocol_state.hook_setting_changed);
  unhook(protocol_state.hook_userinfo_init);
  unhook(protocol_state.hook_group_change);
  // Our addition to the host's unload: every thread of ours ends before we return, because the
  // host frees the library right after this call.
  threads_stop_all(wake_threads_for_unload);
  free(listener_block);
  listener_block = nullptr;
  free(newmail_block);
  newmail_block = nullptr;
  pending_queue_clear();
  tls_link_reset();
  contact_index_reset();
  mrim_log("vortel: Terminating.\n");
  log_close();
  return 0;
}

INT_PTR MRIM_ModulesLoaded(WPARAM, LPARAM) {
  protocol_state.hook_options_init = plugin_link->HookEvent(ME_OPT_INITIALISE, MRIM_OptInitialise);
  protocol_state.hook_userinfo_init = plugin_link->HookEvent(ME_USERINFO_INITIALISE, MRIM_UserInfoInitialise);
  protocol_state.hook_contact_deleted = plugin_link->HookEvent(ME_DB_CONTACT_DELETED, MRIM_ContactDeleted);
  protocol_state.hook_group_change = plugin_link->HookEvent(ME_CLIST_GROUPCHANGE, MRIM_GroupChange);
  protocol_state.hook_setting_changed =
      plugin_link->HookEvent(ME_DB_CONTACT_SETTINGCHANGED, MRIM_SettingChanged);
  NetlibUser user{};
  user.size = sizeof user;
  user.settings_module = protocol_state.module_name;
  user.descriptive_name = protocol_state.module_name;
  user.flags = NUF_OUTGOING | NUF_HTTPCONNS;
  protocol_state.netlib_user =
      reinterpret_cast<HANDLE>(call_service(MS_NETLIB_REGISTERUSER, 0, reinterpret_cast<LPARAM>(&user)));
  set_all_contacts_offline();
  return 0;
}

// Every bit names a service that works (see host_api.h). The old protocol's statuses carry no
// texts: a host that asks while it is chosen hears of no away messages.
INT_PTR MRIM_GetCaps(WPARAM wparam, LPARAM) {
  const bool status_texts = mrim_wanted_revision() != MRIM_PROTO_VERSION_LEGACY;
  const DWORD statuses = PF2_ONLINE | PF2_INVISIBLE | PF2_SHORTAWAY;
  switch (wparam) {
    case PFLAGNUM_1:
      return static_cast<INT_PTR>(PF1_IMSEND | PF1_IMRECV | PF1_AUTHREQ | PF1_VISLIST | PF1_INVISLIST |
                                  PF1_ADDSEARCHRES | PF1_CONTACTSEND | PF1_CONTACTRECV | PF1_SEARCHBYEMAIL |
                                  PF1_SEARCHBYNAME | PF1_EXTSEARCH | PF1_EXTSEARCHUI | PF1_USERIDISEMAIL |
                                  (status_texts ? PF1_MODEMSGSEND | PF1_MODEMSGRECV : 0));
    case PFLAGNUM_2:
      return statuses;
    case PFLAGNUM_3:
      return status_texts ? statuses : 0;
    case PFLAGNUM_4:
      return PF4_SUPPORTTYPING | PF4_AVATARS;
    default:
      return 0;
  }
}

INT_PTR MRIM_GetName(WPARAM wparam, LPARAM lparam) {
  lstrcpynA(reinterpret_cast<char*>(lparam), protocol_state.module_name, static_cast<int>(wparam));
  return 0;
}

INT_PTR MRIM_LoadIcon(WPARAM wparam, LPARAM) {
  int resource;
  switch (wparam & 0xFFFF) {
    case PLI_PROTOCOL:
      resource = IDI_PROTOCOL;
      break;
    case PLI_ONLINE:
      resource = IDI_ONLINE;
      break;
    case PLI_OFFLINE:
      resource = IDI_OFFLINE;
      break;
    default:
      return 0;
  }
  bool small = (wparam & PLIF_SMALL) != 0;
  int cx = GetSystemMetrics(small ? SM_CXSMICON : SM_CXICON);
  int cy = GetSystemMetrics(small ? SM_CYSMICON : SM_CYICON);
  return reinterpret_cast<INT_PTR>(
      LoadImageA(dll_instance, MAKEINTRESOURCEA(resource), IMAGE_ICON, cx, cy, 0));
}

INT_PTR MRIM_GetStatus(WPARAM, LPARAM) {
  int status = protocol_state.status;
  if (status == ID_STATUS_ONLINE || status == ID_STATUS_AWAY || status == ID_STATUS_INVISIBLE) return status;
  return ID_STATUS_OFFLINE;
}
