// The advanced search page and the query made from its fields.
#include "ui/mrim_search_ui.h"

#include <cstdlib>
#include <cstring>

#include "contacts/search.h"
#include "core/host_services.h"
#include "core/host_text.h"
#include "core/protocol_state.h"
#include "resources/resource.h"

namespace {

// An age as the directory takes it: one to three decimal digits; empty is no age.
bool is_age(const char* text) {
  size_t length = strlen(text);
  if (length > 3) return false;
  for (size_t i = 0; i < length; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

// The field's text (the system's code page, as every dialog gives it) into the job as host
// text; false when it cannot be asked as it stands.
bool add_field(SearchJob* job, HWND page, int control, uint32_t key, bool text) {
  char value[SEARCH_PART_SIZE + 1];
  // One byte more than an item holds: a longer text reads that far and is refused.
  GetDlgItemTextA(page, control, value, sizeof value);
  if (!text && !is_age(value)) return false;
  char converted[2 * SEARCH_PART_SIZE];
  host_text_from(value, strlen(value), TextForm::cp1251, converted, sizeof converted);
  return mrim_search_add_item(job, key, text, converted);
}

}  // namespace

INT_PTR CALLBACK MRIM_AdvSearchDlgProc(HWND window, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) {
    translate_dialog(window);
    return 1;
  }
  return 0;
}

INT_PTR MRIM_CreateAdvSearchUI(WPARAM, LPARAM parent) {
  return reinterpret_cast<INT_PTR>(CreateDialogParamA(dll_instance, MAKEINTRESOURCEA(IDD_ADVSEARCH),
                                                      reinterpret_cast<HWND>(parent), MRIM_AdvSearchDlgProc,
                                                      0));
}

INT_PTR MRIM_SearchByAdvanced(WPARAM, LPARAM lparam) {
  auto page = reinterpret_cast<HWND>(lparam);
  auto* job = static_cast<SearchJob*>(calloc(1, sizeof(SearchJob)));
  if (job == nullptr) return mrim_next_search_id();
  if (page != nullptr) {
    bool usable = add_field(job, page, IDC_ADV_NICK, MRIM_SEARCH_KEY_NICKNAME, true) &&
                  add_field(job, page, IDC_ADV_FIRST_NAME, MRIM_SEARCH_KEY_FIRST_NAME, true) &&
                  add_field(job, page, IDC_ADV_LAST_NAME, MRIM_SEARCH_KEY_LAST_NAME, true) &&
                  add_field(job, page, IDC_ADV_CITY, MRIM_SEARCH_KEY_CITY, true) &&
                  add_field(job, page, IDC_ADV_AGE_FROM, MRIM_SEARCH_KEY_AGE_FROM, false) &&
                  add_field(job, page, IDC_ADV_AGE_TO, MRIM_SEARCH_KEY_AGE_TO, false);
    if (usable && IsDlgButtonChecked(page, IDC_ADV_ONLINE) == BST_CHECKED)
      usable = mrim_search_add_item(job, MRIM_SEARCH_KEY_ONLINE, false, "1");
    job->ask_server = usable && job->item_count > 0;
  }
  return mrim_search_start(job);
}
