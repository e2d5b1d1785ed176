// The advanced search: the page of fields the host's find window shows for this protocol, and
// the search it starts from them.
#pragma once

#include "host/host_api.h"

// "/CreateAdvSearchUI": lParam the host's window the page goes in. The page's window, or 0.
INT_PTR MRIM_CreateAdvSearchUI(WPARAM wparam, LPARAM parent);
// "/SearchByAdvanced": lParam that page. The search's identifier, never 0; a page that asks
// for nothing, or gives an age that is no number of years, ends it at once without a hit.
INT_PTR MRIM_SearchByAdvanced(WPARAM wparam, LPARAM page);
INT_PTR CALLBACK MRIM_AdvSearchDlgProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
