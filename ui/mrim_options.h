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
