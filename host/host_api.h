// The messenger host's plug-in interface as this plug-in uses it: the PluginLink table, the
// records passed to host services, and the names of those services and events. Declarations
// only; the host lies behind them. Field order and widths are the host's, so on the 32-bit
// Windows build every record has the size the host expects (checked below).
#pragma once

#include <cstddef>

#include "platform/win32.h"

// Every service and event handler: two pointer-sized arguments, a pointer-sized result.
typedef INT_PTR (*HostServiceFn)(WPARAM, LPARAM);
typedef INT_PTR (*HostHookFn)(WPARAM, LPARAM);
// Entries of the table the plug-in never calls; the host fills them with harmless functions.
typedef INT_PTR (*HostUnusedFn)(void);

// The host's table of operations, handed to Load. Entries are numbered from 1 in the host's
// documentation; the plug-in calls 4, 6, 7, 10 and 11.
struct PluginLink {
  HostUnusedFn entry1_create_hookable_event;
  HostUnusedFn entry2_destroy_hookable_event;
  HostUnusedFn entry3_notify_event_hooks;
  HANDLE (*HookEvent)(const char* event_name, HostHookFn handler);
  HostUnusedFn entry5_hook_event_message;
  int (*UnhookEvent)(HANDLE hook);
  HANDLE (*CreateServiceFunction)(const char* service_name, HostServiceFn handler);
  HostUnusedFn entry8_create_transient_service;
  HostUnusedFn entry9_destroy_service;
  INT_PTR (*CallService)(const char* service_name, WPARAM wparam, LPARAM lparam);
  int (*ServiceExists)(const char* service_name);
  HostUnusedFn entry12_call_service_sync;
};

// The record MirandaPluginInfo returns.
struct PluginInfo {
  int size;
  const char* short_name;
  DWORD version;
  const char* description;
  const char* author;
  const char* author_email;
  const char* copyright;
  const char* homepage;
  BYTE flags;
  int replaces_default_module;
};

// "Proto/RegisterModule".
struct ProtocolDescriptor {
  int size;
  const char* name;
  int type;
};
constexpr int PROTOTYPE_PROTOCOL = 1000;

// "Proto/BroadcastAck".
struct AckData {
  int size;
  const char* module;
  HANDLE contact;
  int type;
  int result;
  HANDLE process;
  LPARAM param;
};
constexpr int ACKTYPE_MESSAGE = 0;
// A contact's away message: process the handle "/GetAwayMsg" returned, lParam the text.
constexpr int ACKTYPE_AWAYMSG = 4;
// Contacts sent: process the handle "/SendContacts" returned.
constexpr int ACKTYPE_CONTACTS = 13;
// A contact's picture arrived (ACKRESULT_SUCCESS), or it has none or could not be had
// (ACKRESULT_FAILED): process points at an AvatarInformation that lives for the call only.
constexpr int ACKTYPE_AVATAR = 14;
// Our microblog post (this plug-in's own kind, passed on to whoever hooks acknowledgements):
// process the number "/PostMicroblog" returned; ACKRESULT_SUCCESS once the server stored it,
// ACKRESULT_FAILED with lParam the reason as host text.
constexpr int ACKTYPE_MICROBLOG = 1064;
// "/PostMicroblog"'s refusals, before anything is sent.
constexpr INT_PTR MICROBLOG_REFUSED_TOO_LONG = -1;  // over 500 characters: never cut
constexpr INT_PTR MICROBLOG_REFUSED_OFFLINE = -2;
constexpr INT_PTR MICROBLOG_REFUSED_REVISION = -3;  // the session speaks a revision before 1.20
constexpr INT_PTR MICROBLOG_REFUSED_EMPTY = -4;
// Result ACKRESULT_SUCCESS on a contact: the contact granted our request for authorization.
constexpr int ACKTYPE_AUTHREQ = 5;
constexpr int ACKTYPE_GETINFO = 7;
constexpr int ACKTYPE_LOGIN = 9;  // result ACKRESULT_FAILED, lParam one of LOGINERR_*
constexpr int ACKTYPE_SEARCH = 10;
constexpr int ACKTYPE_STATUS = 12;
constexpr int ACKRESULT_SUCCESS = 0;
constexpr int ACKRESULT_FAILED = 1;
constexpr int ACKRESULT_DATA = 104;
// Why a log-in failed (the lParam of an ACKTYPE_LOGIN failure).
constexpr int LOGINERR_WRONGPASSWORD = 1;
constexpr int LOGINERR_NOSERVER = 5;
constexpr int LOGINERR_TIMEOUT = 6;
constexpr int LOGINERR_WRONGPROTOCOL = 7;
constexpr int LOGINERR_OTHERLOCATION = 8;

// The host's value holder for settings.
struct SettingVariant {
  BYTE type;
  union {
    BYTE byte_value;
    WORD word_value;
    DWORD dword_value;
    char* text;
  };
};
constexpr BYTE DBVT_DELETED = 0;
constexpr BYTE DBVT_BYTE = 1;
constexpr BYTE DBVT_WORD = 2;
constexpr BYTE DBVT_DWORD = 4;
constexpr BYTE DBVT_ASCIIZ = 255;
// UTF-8 text, from hosts of HOST_VERSION_UTF8 on. "DB/Contact/GetSetting" hands such a value
// to its caller as DBVT_ASCIIZ in the system's code page; "DB/Contact/GetSettingStr" hands it
// over in the type its caller asks for.
constexpr BYTE DBVT_UTF8 = 253;
// The first host version that takes UTF-8 settings, event texts and outgoing messages.
constexpr DWORD HOST_VERSION_UTF8 = 0x00070000;

// "DB/Contact/GetSetting".
struct SettingRequest {
  const char* module;
  const char* setting;
  SettingVariant* value;
};

// "DB/Contact/WriteSetting", and the lParam of "DB/Contact/SettingChanged".
struct SettingWrite {
  const char* module;
  const char* setting;
  SettingVariant value;
};

// "DB/Event/Add" and "DB/Event/Get".
struct EventInfo {
  int size;
  const char* module;
  DWORD timestamp;
  DWORD flags;
  WORD event_type;
  DWORD blob_size;
  BYTE* blob;
};
// An event whose blob text is UTF-8.
constexpr DWORD DBEF_UTF8 = 0x10;
constexpr WORD EVENTTYPE_MESSAGE = 0;
constexpr WORD EVENTTYPE_AUTHREQUEST = 1001;
// Contacts someone sent: for each, its nickname and its address, each ended by a NUL.
constexpr WORD EVENTTYPE_CONTACTS = 2;
// A contact's microblog post (this plug-in's own kind): the blob is the post's text, dated by
// the post's time on this machine's clock.
constexpr WORD EVENTTYPE_MICROBLOG = 2063;

// "Netlib/Send".
struct NetlibBuffer {
  char* data;
  int length;
  int flags;
};

// "Netlib/RegisterUser".
struct NetlibUser {
  int size;
  const char* settings_module;
  const char* descriptive_name;
  DWORD flags;
  const char* http_gateway_hello;
  const char* http_gateway_user_agent;
  void* http_gateway_init;
  void* http_gateway_begin;
  void* http_gateway_wrap_send;
  void* http_gateway_unwrap_recv;
  int min_incoming_ports;
};
constexpr DWORD NUF_OUTGOING = 0x02;
constexpr DWORD NUF_HTTPCONNS = 0x10;

// "Netlib/OpenConnection". Hosts of an older interface know only the first four fields (16
// bytes on the 32-bit host) and refuse the longer record with ERROR_INVALID_PARAMETER.
struct NetlibOpenConnection {
  int size;
  const char* host;
  WORD port;
  DWORD flags;
  unsigned int timeout;
  void* progress_callback;
};
constexpr int NETLIBOPENCONNECTION_V1_SIZE = offsetof(NetlibOpenConnection, timeout);

// "Netlib/GetMorePackets".
struct NetlibPacketRecver {
  int size;
  DWORD timeout;
  int bytes_used;
  int bytes_available;
  int buffer_size;
  BYTE* buffer;
};

// "LangPack/TranslateDialog".
struct LangPackTranslateDialog {
  int size;
  DWORD flags;
  HWND dialog;
  const int* ignore_controls;
};

// "CList/AddContactMenuItem".
struct ContactMenuItem {
  int size;
  const char* name;
  DWORD flags;
  int position;
  HICON icon;
  const char* service;
  const char* popup_name;
  int popup_position;
  DWORD hot_key;
  const char* contact_owner;
};

// "Miranda/Systray/Notify".
struct SystrayNotify {
  int size;
  const char* protocol;
  const char* title;
  const char* text;
  DWORD info_flags;
  UINT timeout;
};
constexpr DWORD NIIF_INFO = 1;
constexpr DWORD NIIF_WARNING = 2;

// "Opt/AddPage" and "UserInfo/AddPage".
struct OptionsPage {
  int size;
  int position;
  const char* title;
  void* dialog_proc;
  const char* template_name;
  HINSTANCE instance;
  HICON icon;
  const char* group;
  int group_position;
  HICON group_icon;
  DWORD flags;
  int simple_bottom_control;
  int simple_right_control;
  const int* expert_only_controls;
  int expert_only_control_count;
};
// Options page flag: the host draws the page's group-box titles in bold.
constexpr DWORD ODPF_BOLDGROUPS = 4;
// The details window's notice (WM_NOTIFY from id 0, a PSHNOTIFY whose lParam is the contact)
// that a page is to show its contact's information, or that it changed.
constexpr UINT PSN_INFOCHANGED = 1;

// The protocol-call record a protocol service receives from the host.
struct ProtocolCall {
  HANDLE contact;
  const char* service;
  WPARAM wparam;
  LPARAM lparam;
};
// "/SendMsg"'s wparam flag: the text is UTF-8 (otherwise it is in the system's code page).
constexpr WPARAM PREF_UTF = 4;

// One search hit, handed to the host with a search acknowledgement.
struct SearchResult {
  int size;
  char* nick;
  char* first_name;
  char* last_name;
  char* email;
  BYTE reserved[16];
};

// A received event as the host's receive services take it (the lParam of their ProtocolCall).
// For "/RecvContacts" the text is an array of `count` search results, count in lparam.
struct ReceivedEvent {
  DWORD flags;
  DWORD timestamp;
  char* text;
  LPARAM lparam;
};

// ME_CLIST_GROUPCHANGE's lParam; names are host text.
struct GroupChange {
  int size;
  const char* old_name;
  const char* new_name;
};

// "/SearchByName"'s lParam: the names to look for, host text; a null or empty one is not asked.
struct SearchByName {
  char* nick;
  char* first_name;
  char* last_name;
};

// "/GetAvatarInformation"'s lParam: the host fills size and contact; the plug-in fills the
// picture's format and the full path of its file.
struct AvatarInformation {
  int size;
  HANDLE contact;
  int format;
  char filename[MAX_PATH];
};
constexpr int PA_FORMAT_UNKNOWN = 0;
constexpr int PA_FORMAT_PNG = 1;
constexpr int PA_FORMAT_JPEG = 2;
constexpr int PA_FORMAT_GIF = 5;
// "/GetAvatarInformation"'s wParam flag: fetch it again even when the cached one is fresh.
constexpr WPARAM GAIF_FORCE = 1;
// "/GetAvatarInformation"'s results.
constexpr INT_PTR GAIR_SUCCESS = 0;  // the record names the file
constexpr INT_PTR GAIR_WAITFOR = 1;  // an ACKTYPE_AVATAR follows
constexpr INT_PTR GAIR_NOAVATAR = 2;

// Host status codes.
constexpr int ID_STATUS_OFFLINE = 40071;
constexpr int ID_STATUS_ONLINE = 40072;
constexpr int ID_STATUS_AWAY = 40073;
constexpr int ID_STATUS_NA = 40075;
constexpr int ID_STATUS_INVISIBLE = 40078;

// Capability words of "/GetCaps".
constexpr WPARAM PFLAGNUM_1 = 1;
constexpr WPARAM PFLAGNUM_2 = 2;
constexpr WPARAM PFLAGNUM_3 = 3;
constexpr WPARAM PFLAGNUM_4 = 4;
// The bits of word 1 this plug-in reports, with the service that answers each.
constexpr DWORD PF1_IMSEND = 0x00000001;         // "/SendMsg"
constexpr DWORD PF1_IMRECV = 0x00000002;         // messages stored as the host's events
constexpr DWORD PF1_MODEMSGSEND = 0x00000040;    // "/SetAwayMsg"
constexpr DWORD PF1_MODEMSGRECV = 0x00000080;    // "/GetAwayMsg"
constexpr DWORD PF1_AUTHREQ = 0x00000200;        // "/Authorize", "/AuthDeny", "/AuthRequest"
constexpr DWORD PF1_VISLIST = 0x00000800;        // "/SetApparentMode"
constexpr DWORD PF1_INVISLIST = 0x00001000;      // "/SetApparentMode"
constexpr DWORD PF1_EXTSEARCH = 0x00100000;      // "/SearchByAdvanced"
constexpr DWORD PF1_ADDSEARCHRES = 0x00800000;   // "/AddToList"
constexpr DWORD PF1_CONTACTSEND = 0x01000000;    // "/SendContacts"
constexpr DWORD PF1_CONTACTRECV = 0x02000000;    // "/RecvContacts"
constexpr DWORD PF1_SEARCHBYEMAIL = 0x08000000;  // "/SearchByEmail"
constexpr DWORD PF1_SEARCHBYNAME = 0x20000000;   // "/SearchByName"
constexpr DWORD PF1_EXTSEARCHUI = 0x40000000;    // "/CreateAdvSearchUI", "/SearchByAdvanced"
constexpr DWORD PF1_USERIDISEMAIL = 0x10000000;  // the account's and contacts' "EMail"
// Statuses, as words 2 and 3 name them.
constexpr DWORD PF2_ONLINE = 0x00000001;
constexpr DWORD PF2_INVISIBLE = 0x00000002;
constexpr DWORD PF2_SHORTAWAY = 0x00000004;
// Word 4.
constexpr DWORD PF4_SUPPORTTYPING = 0x00000008;  // "/UserIsTyping"
constexpr DWORD PF4_AVATARS = 0x00000020;        // "/GetAvatarInformation"
// Icon selectors of "/LoadIcon".
constexpr WPARAM PLI_PROTOCOL = 1;
constexpr WPARAM PLI_ONLINE = 2;
constexpr WPARAM PLI_OFFLINE = 3;
constexpr WPARAM PLIF_SMALL = 0x10000;

// Services of the host.
#define MS_PROTO_REGISTERMODULE "Proto/RegisterModule"
#define MS_PROTO_BROADCASTACK "Proto/BroadcastAck"
#define MS_PROTO_GETCONTACTBASEPROTO "Proto/GetContactBaseProto"
#define MS_PROTO_ADDTOCONTACT "Proto/AddToContact"
#define MS_PROTO_CONTACTISTYPING "Proto/ContactIsTyping"
#define MS_DB_CONTACT_FINDFIRST "DB/Contact/FindFirst"
#define MS_DB_CONTACT_FINDNEXT "DB/Contact/FindNext"
#define MS_DB_CONTACT_ADD "DB/Contact/Add"
#define MS_DB_CONTACT_GETSETTING "DB/Contact/GetSetting"
#define MS_DB_CONTACT_GETSETTING_STR "DB/Contact/GetSettingStr"
#define MS_DB_CONTACT_FREEVARIANT "DB/Contact/FreeVariant"
#define MS_DB_CONTACT_WRITESETTING "DB/Contact/WriteSetting"
#define MS_DB_CRYPT_ENCODESTRING "DB/Crypt/EncodeString"
#define MS_DB_CRYPT_DECODESTRING "DB/Crypt/DecodeString"
#define MS_DB_EVENT_ADD "DB/Event/Add"
#define MS_DB_EVENT_GETBLOBSIZE "DB/Event/GetBlobSize"
#define MS_DB_EVENT_GET "DB/Event/Get"
#define MS_NETLIB_REGISTERUSER "Netlib/RegisterUser"
#define MS_NETLIB_OPENCONNECTION "Netlib/OpenConnection"
#define MS_NETLIB_CREATEPACKETRECVER "Netlib/CreatePacketRecver"
#define MS_NETLIB_GETMOREPACKETS "Netlib/GetMorePackets"
#define MS_NETLIB_SEND "Netlib/Send"
#define MS_NETLIB_CLOSEHANDLE "Netlib/CloseHandle"
#define MS_LANGPACK_TRANSLATESTRING "LangPack/TranslateString"
#define MS_LANGPACK_TRANSLATEDIALOG "LangPack/TranslateDialog"
#define MS_CLIST_ADDCONTACTMENUITEM "CList/AddContactMenuItem"
#define MS_OPT_ADDPAGE "Opt/AddPage"
#define MS_USERINFO_ADDPAGE "UserInfo/AddPage"
#define MS_CLIST_SYSTRAY_NOTIFY "Miranda/Systray/Notify"
// wParam the buffer's size, lParam the buffer: the folder of the profile in use, without a
// closing separator, in the system's code page. 0 on success.
#define MS_DB_GETPROFILEPATH "DB/GetProfilePath"

// Events of the host.
#define ME_SYSTEM_MODULESLOADED "Miranda/System/ModulesLoaded"
#define ME_OPT_INITIALISE "Opt/Initialise"
#define ME_USERINFO_INITIALISE "UserInfo/Initialise"
#define ME_DB_CONTACT_DELETED "DB/Contact/Deleted"
#define ME_DB_CONTACT_SETTINGCHANGED "DB/Contact/SettingChanged"
// Raised by "Proto/BroadcastAck" with the AckData as lParam, on the broadcasting thread.
#define ME_PROTO_ACK "Proto/Ack"
// A contact-list group was renamed (both names), deleted (no new name) or made (no old name).
// wParam a contact moved between groups, or 0 for the group itself; lParam a GroupChange. The
// host renames or clears the group of the group's contacts before it raises this.
#define ME_CLIST_GROUPCHANGE "CList/GroupChange"

// On the Windows builds the records must match the host's layout byte for byte: the 32-bit host's
// below, and the 64-bit host's after it, where every pointer-sized field is 8 bytes wide and
// aligned to 8, so sizes and offsets follow the pointer size. The sizes are written out rather
// than taken from sizeof, so that a field of the wrong width shows here.
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(PluginLink) == 48);
static_assert(sizeof(PluginInfo) == 40);
static_assert(sizeof(ProtocolDescriptor) == 12);
static_assert(sizeof(AckData) == 28);
static_assert(sizeof(SettingVariant) == 8);
static_assert(sizeof(SettingRequest) == 12);
static_assert(sizeof(SettingWrite) == 16);
static_assert(sizeof(EventInfo) == 28);
static_assert(sizeof(NetlibBuffer) == 12);
static_assert(sizeof(NetlibUser) == 44);
static_assert(sizeof(NetlibOpenConnection) == 24);
static_assert(offsetof(NetlibOpenConnection, flags) == 12);
static_assert(sizeof(NetlibPacketRecver) == 24);
static_assert(sizeof(LangPackTranslateDialog) == 16);
static_assert(sizeof(ContactMenuItem) == 40);
static_assert(sizeof(SystrayNotify) == 24);
static_assert(sizeof(OptionsPage) == 60);
static_assert(sizeof(ProtocolCall) == 16);
static_assert(sizeof(SearchResult) == 36);
static_assert(sizeof(AvatarInformation) == 272);
#elif defined(_WIN64)
static_assert(sizeof(PluginLink) == 96);
static_assert(sizeof(PluginInfo) == 72);
static_assert(offsetof(PluginInfo, flags) == 64);
static_assert(sizeof(ProtocolDescriptor) == 24);
static_assert(sizeof(AckData) == 48);
static_assert(offsetof(AckData, param) == 40);
static_assert(sizeof(SettingVariant) == 16);
static_assert(sizeof(SettingRequest) == 24);
static_assert(sizeof(SettingWrite) == 32);
static_assert(sizeof(EventInfo) == 40);
static_assert(offsetof(EventInfo, blob) == 32);
static_assert(sizeof(NetlibBuffer) == 16);
static_assert(sizeof(NetlibUser) == 88);
static_assert(sizeof(NetlibOpenConnection) == 40);
static_assert(offsetof(NetlibOpenConnection, flags) == 20);
static_assert(sizeof(NetlibPacketRecver) == 32);
static_assert(sizeof(LangPackTranslateDialog) == 24);
static_assert(sizeof(ContactMenuItem) == 64);
static_assert(sizeof(SystrayNotify) == 40);
static_assert(sizeof(OptionsPage) == 104);
static_assert(offsetof(OptionsPage, expert_only_controls) == 88);
static_assert(sizeof(ProtocolCall) == 32);
static_assert(sizeof(SearchResult) == 56);
static_assert(sizeof(AvatarInformation) == 280);
static_assert(offsetof(AvatarInformation, filename) == 20);
#endif
