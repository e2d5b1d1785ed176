// The account's settings dialogs: the set-up dialog shown at load while "EMail" or "Password"
// is missing, and the page in the host's options window (group "Network").
#pragma once

#include "host/host_api.h"

// Shows the set-up dialog modally when the account has no "EMail" or no "Password".
void check_account_setup();
INT_PTR CALLBACK MRIM_AccountSetupDlgProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// "Opt/Initialise": adds the options page to the options window wparam.
INT_PTR MRIM_OptInitialise(WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK MRIM_OptionsDlgProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The time-out field's text as the seconds to store: a signed decimal number (leading blanks and
// one sign allowed, digits up to the first other character); 0 or above 60 gives 10.
DWORD options_timeout_from_text(const char* text);

// The picture service's field, trimmed and in small letters ("off", a host name), in place;
// whether it names a usable server is decided where it is used.
const char* options_avatar_server_from_text(char* text);

// The port field's text as the port to store, read as the time-out is; 0 (the build's default
// port) for an empty field and for any number outside 1 to 65535.
DWORD options_port_from_text(const char* text);
// The host-name field's text as the name to store: without surrounding blanks; empty (the build's
// default server) when blanks remain inside or it is longer than 255 characters. Changes text.
const char* options_server_from_text(char* text);
// The certificate field's text as the "CertificatePin" to store: blanks and colons dropped and
// letters lower-cased, so a fingerprint pasted as "AB:CD:..." matches the one the connection
// computes; empty (trust the first certificate seen) for an empty field. Changes text.
const char* options_pin_from_text(char* text);
