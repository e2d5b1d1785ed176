// The account's page in the host's contact-details window: a contact's e-mail address and
// location, read-only.
#pragma once

#include "host/host_api.h"

// "UserInfo/Initialise": adds the page for contacts of this protocol and for the account itself
// (lparam 0).
INT_PTR MRIM_UserInfoInitialise(WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK MRIM_UserInfoDlgProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Puts the text setting into the control, or when_missing when it is missing.
void show_contact_setting(HANDLE contact, const char* module, const char* setting, HWND window,
                          int control_id, const char* when_missing = "-internal-error-");
