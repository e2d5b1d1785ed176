// Thin wrappers around the host services every part of the plug-in uses: settings, status
// acknowledgements, translation and the network calls, plus set_all_contacts_offline. They fill
// the host's records and return the host's result; none of them logs.
#pragma once

#include <cstdint>

#include "host/host_api.h"

INT_PTR call_service(const char* name, WPARAM wparam, LPARAM lparam);

INT_PTR translate_dialog(HWND dialog);
// The language pack's translation of a text (the text itself when there is none).
const char* translate(const char* text);
INT_PTR broadcast_ack(const char* module, HANDLE contact, int type, int result, HANDLE process, LPARAM param);

// Numeric reads give the default when the setting is missing or is not a number; otherwise the
// low bits of the stored value, whatever width the host stored it with.
BYTE get_setting_byte(HANDLE contact, const char* module, const char* setting, BYTE default_value);
WORD get_setting_word(HANDLE contact, const char* module, const char* setting, WORD default_value);
DWORD get_setting_dword(HANDLE contact, const char* module, const char* setting, DWORD default_value);
// 0 when the setting exists and the variant is filled; release a text with free_setting.
INT_PTR get_setting(HANDLE contact, const char* module, const char* setting, SettingVariant* value);
INT_PTR free_setting(SettingVariant* value);
// Reads a text setting into value as host text; true when it exists as a text (release it with
// free_setting), false when it is missing or not a text (nothing to release).
bool mrim_read_text_setting(HANDLE contact, const char* module, const char* setting, SettingVariant* value);
// The same for a setting whose bytes are no text to convert (the host's encoded password): as
// the host stored them, of type DBVT_ASCIIZ only.
bool mrim_read_raw_text_setting(HANDLE contact, const char* module, const char* setting,
                                SettingVariant* value);

// The account's reply time-out, its "Timeout" setting in seconds (default 10).
uint32_t get_timeout();

INT_PTR write_setting_byte(HANDLE contact, const char* module, const char* setting, BYTE value);
INT_PTR write_setting_word(HANDLE contact, const char* module, const char* setting, WORD value);
INT_PTR write_setting_dword(HANDLE contact, const char* module, const char* setting, DWORD value);
// Writes host text (as UTF-8 on hosts that take it).
INT_PTR write_setting_string(HANDLE contact, const char* module, const char* setting, const char* value);
// Bytes that are no text to convert (the host's encoded password), as type DBVT_ASCIIZ always.
INT_PTR write_setting_raw_text(HANDLE contact, const char* module, const char* setting, const char* value);

INT_PTR close_handle(HANDLE handle);
// Bytes sent, or -1 on failure.
INT_PTR send_data(HANDLE connection, const char* data, int length, int flags);

// "Netlib/OpenConnection" for the account's network user, with the record as it is; when the
// host refuses the long record as an invalid parameter (hosts of an older interface), once more
// with the short form. The connection, or nullptr (the system's last error says why).
HANDLE open_connection(NetlibOpenConnection* record);
// "Netlib/CreatePacketRecver" with a buffer of size bytes, or nullptr.
HANDLE create_receiver(HANDLE connection, int size);
// A failed "Netlib/GetMorePackets" ended by its time running out, not by the connection
// closing: a host reports it as either of the system's two codes.
bool receive_timed_out(DWORD error);

// Every contact of this account whose "Status" is not offline gets "Status" = offline.
void set_all_contacts_offline();

// True when the host names this account's module as the contact's protocol.
bool mrim_contact_is_ours(HANDLE contact);
