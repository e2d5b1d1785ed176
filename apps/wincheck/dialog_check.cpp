// The plug-in's real dialogs under the Windows dialog manager (see dialog_check.h).
#include "apps/wincheck/dialog_check.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "apps/wincheck/host_layout.h"
#include "hostsim/profile.h"

namespace wincheck {
namespace {

constexpr int kHostOptionsChrome = 70;
constexpr int kTaskBarHeight = 40;

const std::wstring kSetupTitle = L"MRIM Account Setup";
// What the user types into the set-up dialog.
const std::string kEmail = "dialogs@mrim.example";
const std::string kPassword = "dialog-secret";
constexpr int kWaitMs = 30000;
constexpr int kMargin = 8;  // pixels between a host window's edge and its page

std::string narrow(const std::wstring& text) { return to_utf8(text); }

std::wstring window_text(HWND window) {
  wchar_t buffer[512];
  int length = GetWindowTextW(window, buffer, static_cast<int>(std::size(buffer)));
  return std::wstring(buffer, static_cast<size_t>(std::max(length, 0)));
}

std::wstring class_of(HWND window) {
  wchar_t buffer[64];
  int length = GetClassNameW(window, buffer, static_cast<int>(std::size(buffer)));
  return std::wstring(buffer, static_cast<size_t>(std::max(length, 0)));
}

std::string item_text(HWND dialog, int id) {
  char buffer[256] = {};
  GetDlgItemTextA(dialog, id, buffer, sizeof buffer);
  return buffer;
}

// Lets the windows of this thread paint and handle what was posted to them.
void pump(int milliseconds) {
  DWORD end = GetTickCount() + static_cast<DWORD>(milliseconds);
  do {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    Sleep(10);
  } while (static_cast<int>(GetTickCount() - end) < 0);
}

// --- screenshots ----------------------------------------------------------------------------------

// The window as it is on the screen, saved as a 24-bit BMP; returns why not, or "". The number
// of distinct colours tells whether anything was painted at all.
std::string save_screenshot(HWND window, const std::string& path, size_t* colours) {
  RECT rect;
  if (!GetWindowRect(window, &rect)) return "no window";
  int width = rect.right - rect.left, height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return "empty window";
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BOOL copied = BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, old);

  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = width;
  header.biHeight = height;  // bottom-up, as BMP files keep their rows
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  const int row = (width * 3 + 3) / 4 * 4;
  std::vector<unsigned char> pixels(static_cast<size_t>(row) * static_cast<size_t>(height));
  int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
                       reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (!copied || rows != height) return "the screen could not be read";

  std::set<uint32_t> seen;
  for (int y = 0; y < height && seen.size() < 64; ++y)
    for (int x = 0; x < width; ++x) {
      const unsigned char* p = &pixels[static_cast<size_t>(y) * row + static_cast<size_t>(x) * 3];
      seen.insert(static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16));
    }
  *colours = seen.size();

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof header;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  header.biHeight = height;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&header), sizeof header);
  out.write(reinterpret_cast<const char*>(pixels.data()), static_cast<std::streamsize>(pixels.size()));
  return out ? "" : "cannot write " + path;
}

void check_screenshot(Report& report, HWND window, const std::string& file, const std::string& what) {
  size_t colours = 0;
  std::string why = save_screenshot(window, file, &colours);
  if (report.check("screenshot of the " + what + " saved as " + file, why.empty(), why))
    report.check("the " + what + " is painted on the screen", colours > 3,
                 std::to_string(colours) + " colours in the screenshot");
}

// --- layout -----------------------------------------------------------------------------------------

struct Placed {
  int id;
  std::wstring kind;  // window class
  std::wstring text;
  LONG style;
  RECT rect;  // in the dialog's client coordinates
  RECT ink;   // the part that shows something: a label's text, else the whole control
};

std::string describe(const Placed& p) {
  return narrow(p.kind) + " " + std::to_string(p.id) + (p.text.empty() ? "" : " \"" + narrow(p.text) + "\"");
}

// The size a text needs in the control's font, wrapped at `width` when wrap is set.
SIZE text_size(HWND control, const std::wstring& text, int width, bool wrap) {
  HDC dc = GetDC(control);
  auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
  HGDIOBJ old = font != nullptr ? SelectObject(dc, font) : nullptr;
  RECT need{0, 0, width, 0};
  UINT flags = DT_CALCRECT | (wrap ? DT_WORDBREAK : DT_SINGLELINE);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &need, flags);
  if (old != nullptr) SelectObject(dc, old);
  ReleaseDC(control, dc);
  return SIZE{need.right - need.left, need.bottom - need.top};
}

BOOL CALLBACK collect_child(HWND child, LPARAM param) {
  auto* found = reinterpret_cast<std::pair<HWND, std::vector<HWND>>*>(param);
  if (GetParent(child) == found->first) found->second.push_back(child);
  return TRUE;
}

// Controls whose text does not fit them, that stick out of the dialog, or whose visible parts
// overlap. Group boxes frame other controls and may hold them.
std::vector<std::string> layout_problems(HWND dialog) {
  std::pair<HWND, std::vector<HWND>> found{dialog, {}};
  EnumChildWindows(dialog, collect_child, reinterpret_cast<LPARAM>(&found));
  RECT client;
  GetClientRect(dialog, &client);
  std::vector<std::string> problems;
  std::vector<Placed> placed;
  const int check_box = GetSystemMetrics(SM_CXMENUCHECK) + 4;
  for (HWND child : found.second) {
    Placed p{GetDlgCtrlID(child),
             class_of(child),
             window_text(child),
             static_cast<LONG>(GetWindowLongW(child, GWL_STYLE)),
             {},
             {}};
    GetWindowRect(child, &p.rect);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&p.rect), 2);
    p.ink = p.rect;
    const int width = p.rect.right - p.rect.left, height = p.rect.bottom - p.rect.top;
    const bool is_static = _wcsicmp(p.kind.c_str(), L"Static") == 0;
    const bool is_button = _wcsicmp(p.kind.c_str(), L"Button") == 0;
    const LONG button_type = p.style & BS_TYPEMASK;
    if (p.rect.left < client.left || p.rect.top < client.top || p.rect.right > client.right ||
        p.rect.bottom > client.bottom)
      problems.push_back(describe(p) + " sticks out of the dialog");
    if (is_static && !p.text.empty()) {
      SIZE need = text_size(child, p.text, width, true);
      if (need.cx > width || need.cy > height) problems.push_back(describe(p) + " is clipped");
      const bool right = (p.style & SS_TYPEMASK) == SS_RIGHT;
      p.ink.left = right ? p.rect.right - need.cx : p.rect.left;
      p.ink.right = right ? p.rect.right : p.rect.left + need.cx;
      p.ink.bottom = p.rect.top + std::min<LONG>(need.cy, height);
    } else if (is_button && button_type == BS_GROUPBOX) {
      SIZE need = text_size(child, p.text, width, false);
      if (need.cx > width - 16) problems.push_back(describe(p) + " has a clipped title");
    } else if (is_button && (button_type == BS_AUTOCHECKBOX || button_type == BS_CHECKBOX)) {
      SIZE need = text_size(child, p.text, width - check_box, (p.style & BS_MULTILINE) != 0);
      if (need.cx > width - check_box || need.cy > height) problems.push_back(describe(p) + " is clipped");
    } else if (is_button) {
      SIZE need = text_size(child, p.text, width, false);
      if (need.cx > width - 4 || need.cy > height - 2) problems.push_back(describe(p) + " is clipped");
    }
    if (!(is_button && button_type == BS_GROUPBOX)) placed.push_back(p);
  }
  for (size_t i = 0; i < placed.size(); ++i)
    for (size_t j = i + 1; j < placed.size(); ++j) {
      RECT overlap;
      if (IntersectRect(&overlap, &placed[i].ink, &placed[j].ink))
        problems.push_back(describe(placed[i]) + " overlaps " + describe(placed[j]));
    }
  return problems;
}

void check_layout(Report& report, HWND dialog, const std::string& what) {
  std::vector<std::string> problems = layout_problems(dialog);
  std::string all;
  for (const std::string& p : problems) all += (all.empty() ? "" : "; ") + p;
  report.check("the " + what + "'s controls are neither clipped nor overlapping", problems.empty(), all);
}

// --- the host's windows -------------------------------------------------------------------------------

struct HostWindow {
  int changed = 0;         // PSM_CHANGED messages received
  bool cancelled = false;  // a page sent the Cancel command (and the window closed)
};

LRESULT CALLBACK host_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE)
    SetWindowLongPtrA(window, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams));
  auto* state = reinterpret_cast<HostWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (state != nullptr && message == PSM_CHANGED) {
    ++state->changed;
    return 0;
  }
  if (state != nullptr && message == WM_COMMAND && LOWORD(wparam) == IDCANCEL) {
    state->cancelled = true;
    DestroyWindow(window);
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

constexpr DWORD kHostStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;

HWND make_host_window(const char* title, HostWindow* state) {
  static ATOM window_class = [] {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = host_window_proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = "WincheckHostWindow";
    return RegisterClassExA(&wc);
  }();
  if (window_class == 0) return nullptr;
  return CreateWindowExA(WS_EX_CONTROLPARENT, "WincheckHostWindow", title, kHostStyle, 40, 40, 400, 300,
                         nullptr, nullptr, GetModuleHandleA(nullptr), state);
}

// Sizes the host window around its page and shows both.
void show_with_page(HWND window, HWND page) {
  RECT page_rect;
  GetWindowRect(page, &page_rect);
  RECT outer{0, 0, page_rect.right - page_rect.left + 2 * kMargin,
             page_rect.bottom - page_rect.top + 2 * kMargin};
  AdjustWindowRectEx(&outer, kHostStyle, FALSE, WS_EX_CONTROLPARENT);
  SetWindowPos(window, HWND_TOP, 40, 40, outer.right - outer.left, outer.bottom - outer.top, 0);
  SetWindowPos(page, nullptr, kMargin, kMargin, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ShowWindow(page, SW_SHOW);
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  pump(500);
}

// The page record a plug-in added for the window during the event, if any.
std::optional<hostsim::PageRecord> page_for(hostsim::Host& host, size_t from, const std::string& kind,
                                            HWND window) {
  std::vector<hostsim::PageRecord> pages = host.pages();
  for (size_t i = from; i < pages.size(); ++i)
    if (pages[i].kind == kind && pages[i].window == reinterpret_cast<hostsim::Handle>(window))
      return pages[i];
  return std::nullopt;
}

HWND make_page(const hostsim::PageRecord& record, HWND parent) {
  return CreateDialogParamA(record.page.instance, record.page.template_name, parent,
                            reinterpret_cast<DLGPROC>(record.page.dialog_proc), 0);
}

std::optional<std::string> account_text(hostsim::Host& host, const std::string& module,
                                        const std::string& name) {
  std::optional<hostsim::Setting> setting = host.setting(0, module, name);
  if (!setting || setting->type != DBVT_ASCIIZ) return std::nullopt;
  return setting->text;
}

std::string describe(const std::optional<hostsim::Setting>& setting) {
  if (!setting) return "missing";
  if (setting->type == DBVT_ASCIIZ) return quoted(setting->text);
  return "type " + std::to_string(setting->type) + " value " + std::to_string(setting->number);
}

std::string decoded(hostsim::Host& host, const std::string& stored) {
  char buffer[128] = {};
  stored.copy(buffer, sizeof buffer - 1);
  host.call_service(MS_DB_CRYPT_DECODESTRING, stored.size() + 1, reinterpret_cast<LPARAM>(buffer));
  return buffer;
}

// --- the set-up dialog during Load --------------------------------------------------------------------

struct SetupSeen {
  bool found = false;
  std::string email_before, password_before;
  bool big_icon = false;
  bool centred = false;
  std::vector<std::string> layout;
  std::string screenshot_error;
  size_t colours = 0;
};

BOOL CALLBACK find_titled(HWND window, LPARAM param) {
  auto* found = reinterpret_cast<std::pair<std::wstring, HWND>*>(param);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == GetCurrentProcessId() && IsWindowVisible(window) && class_of(window) == L"#32770" &&
      window_text(window) == found->first) {
    found->second = window;
    return FALSE;
  }
  return TRUE;
}

// Answers the set-up dialog as a user would, from a thread of its own while Load waits in the
// dialog's message loop.
void answer_setup(SetupSeen* seen, const std::atomic<bool>* load_done) {
  DWORD end = GetTickCount() + kWaitMs;
  std::pair<std::wstring, HWND> found{kSetupTitle, nullptr};
  while (found.second == nullptr && !*load_done && static_cast<int>(GetTickCount() - end) < 0) {
    EnumWindows(find_titled, reinterpret_cast<LPARAM>(&found));
    if (found.second == nullptr) Sleep(50);
  }
  HWND dialog = found.second;
  if (dialog == nullptr) return;
  seen->found = true;
  Sleep(300);  // let it paint
  seen->email_before = item_text(dialog, 1001);
  seen->password_before = item_text(dialog, 1002);
  seen->big_icon = SendMessageW(dialog, WM_GETICON, ICON_BIG, 0) != 0;
  RECT rect;
  GetWindowRect(dialog, &rect);
  int screen_width = GetSystemMetrics(SM_CXSCREEN), screen_height = GetSystemMetrics(SM_CYSCREEN);
  seen->centred = std::abs((rect.left + rect.right) / 2 - screen_width / 2) <= 2 &&
                  std::abs((rect.top + rect.bottom) / 2 - screen_height / 2) <= 2;
  SetDlgItemTextA(dialog, 1001, kEmail.c_str());
  SetDlgItemTextA(dialog, 1002, kPassword.c_str());
  RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  Sleep(300);
  seen->layout = layout_problems(dialog);
  seen->screenshot_error = save_screenshot(dialog, "dialog-setup.bmp", &seen->colours);
  // The OK button, as a click on it reports itself.
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
}

bool check_setup_during_load(Report& report, hostsim::Host& host, NoticeWatcher& watcher,
                             const std::string& dll_path, const std::string& module) {
  watcher.leave_alone(kSetupTitle);
  host.profile().delete_setting(0, module, "EMail");
  host.profile().delete_setting(0, module, "Password");
  host.profile().delete_setting(0, module, "Nick");
  // The online stage may have chosen a server; the options page is to show the build's default.
  host.profile().delete_setting(0, module, "Server");
  host.profile().delete_setting(0, module, "Port");

  SetupSeen seen;
  std::atomic<bool> load_done{false};
  std::thread answerer(answer_setup, &seen, &load_done);
  bool loaded = host.load_plugin(dll_path);
  load_done = true;
  answerer.join();
  if (!report.check("second load, without EMail and Password", loaded, host.error())) return false;
  if (!report.check("the set-up dialog is shown during load", seen.found, "no \"MRIM Account Setup\" window"))
    return true;
  report.check("the set-up dialog's fields start empty",
               seen.email_before.empty() && seen.password_before.empty(),
               quoted(seen.email_before) + ", " + quoted(seen.password_before));
  report.check("the set-up dialog has the protocol's icon", seen.big_icon, "no large icon");
  report.check("the set-up dialog is centred on the screen", seen.centred, "off centre");
  std::string layout;
  for (const std::string& p : seen.layout) layout += (layout.empty() ? "" : "; ") + p;
  report.check("the set-up dialog's controls are neither clipped nor overlapping", seen.layout.empty(),
               layout);
  if (report.check("screenshot of the set-up dialog saved as dialog-setup.bmp", seen.screenshot_error.empty(),
                   seen.screenshot_error))
    report.check("the set-up dialog is painted on the screen", seen.colours > 3,
                 std::to_string(seen.colours) + " colours in the screenshot");

  std::optional<std::string> email = account_text(host, module, "EMail");
  report.check("OK stored the typed address as \"EMail\"", email == kEmail,
               describe(host.setting(0, module, "EMail")));
  std::optional<std::string> password = account_text(host, module, "Password");
  report.check("OK stored the password encoded",
               password && *password != kPassword && decoded(host, *password) == kPassword,
               password ? "stored text decodes to " + quoted(decoded(host, *password)) : "missing");
  report.check("Load copied the new address into \"Nick\"", account_text(host, module, "Nick") == kEmail,
               describe(host.setting(0, module, "Nick")));
  return true;
}

// --- the options page --------------------------------------------------------------------------------

void check_options_page(Report& report, hostsim::Host& host, const std::string& module) {
  HostWindow state;
  HWND window = make_host_window("Options", &state);
  if (!report.check("the host's options window", window != nullptr, "CreateWindowEx failed")) return;
  size_t before = host.pages().size();
  host.raise_event(ME_OPT_INITIALISE, reinterpret_cast<WPARAM>(window), 0);
  std::optional<hostsim::PageRecord> record = page_for(host, before, "options", window);
  if (!report.check("Opt/Initialise adds the options page", record.has_value(), "no page for the window")) {
    DestroyWindow(window);
    return;
  }
  report.check("options page record",
               record->page.size == kPageSize && record->title == module && record->group == "Network" &&
                   record->page.flags == 4 && record->page.template_name == MAKEINTRESOURCEA(201),
               "size " + std::to_string(record->page.size) + ", title " + quoted(record->title) + ", group " +
                   quoted(record->group) + ", flags " + std::to_string(record->page.flags));
  HWND page = make_page(*record, window);
  if (!report.check("the options page is made from template 201", page != nullptr,
                    "CreateDialogParam failed with error " + std::to_string(GetLastError()))) {
    DestroyWindow(window);
    return;
  }
  show_with_page(window, page);
  report.check("the options page shows the stored settings",
               item_text(page, 2001) == kEmail && item_text(page, 2002) == kPassword &&
                   item_text(page, 2005) == "10" && item_text(page, 2006).empty() &&
                   item_text(page, 2007).empty() && IsDlgButtonChecked(page, 2004) == BST_UNCHECKED &&
                   IsDlgButtonChecked(page, 2003) == BST_UNCHECKED,
               "EMail " + quoted(item_text(page, 2001)) + ", Password " + quoted(item_text(page, 2002)) +
                   ", Timeout " + quoted(item_text(page, 2005)) + ", Server " +
                   quoted(item_text(page, 2006)) + ", Port " + quoted(item_text(page, 2007)));
  report.check("the options page's password field hides its text",
               (GetWindowLongW(GetDlgItem(page, 2002), GWL_STYLE) & ES_PASSWORD) != 0, "no ES_PASSWORD");
  check_layout(report, page, "options page");
  // The host's options window puts its title bar and frame, a heading above the page and a row of
  // buttons below it (about 70 pixels at these fonts) around the page, and the window must fit a
  // 768-pixel-high screen above a 40-pixel task bar.
  RECT page_rect{};
  GetWindowRect(page, &page_rect);
  const int page_height = page_rect.bottom - page_rect.top;
  const int window_height = page_height + GetSystemMetrics(SM_CYCAPTION) +
                            2 * GetSystemMetrics(SM_CYFIXEDFRAME) + kHostOptionsChrome;
  report.check("the options page in the host's options window fits a 768-pixel-high screen",
               page_height > 0 && window_height <= 768 - kTaskBarHeight,
               "the page is " + std::to_string(page_height) + " pixels high, the window " +
                   std::to_string(window_height));

  // The user changes the time-out, names a server and ticks "New Mail Notify".
  int changed = state.changed;
  SetDlgItemTextA(page, 2005, "42");
  SetDlgItemTextA(page, 2006, "mrim.example.org");
  SetDlgItemTextA(page, 2007, "2041");
  SendMessageA(GetDlgItem(page, 2004), BM_CLICK, 0, 0);
  pump(300);
  report.check("changes on the page reach the options window (page changed)", state.changed > changed,
               std::to_string(state.changed - changed) + " page-changed messages");
  report.check("clicking \"New Mail Notify\" ticks it", IsDlgButtonChecked(page, 2004) == BST_CHECKED,
               "not ticked");
  check_screenshot(report, window, "dialog-options.bmp", "options page");

  PSHNOTIFY notice{};
  notice.hdr.hwndFrom = window;
  notice.hdr.idFrom = 0;
  notice.hdr.code = PSN_APPLY;
  SendMessageA(page, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&notice));
  auto timeout = host.setting(0, module, "Timeout");
  report.check("Apply stores \"Timeout\" = 42", timeout == hostsim::Setting::dword(42), describe(timeout));
  auto server = host.setting(0, module, "Server");
  auto port = host.setting(0, module, "Port");
  report.check(
      "Apply stores \"Server\" = mrim.example.org and \"Port\" = 2041",
      server == hostsim::Setting::string("mrim.example.org") && port == hostsim::Setting::dword(2041),
      describe(server) + ", " + describe(port));
  auto notify = host.setting(0, module, "NMNotify");
  report.check("Apply stores \"NMNotify\" = 1", notify == hostsim::Setting::byte(1), describe(notify));
  auto balloon = host.setting(0, module, "NMPN");
  report.check("Apply stores \"NMPN\" = 0", balloon == hostsim::Setting::dword(0), describe(balloon));
  std::optional<std::string> password = account_text(host, module, "Password");
  report.check(
      "Apply keeps the address and the password",
      account_text(host, module, "EMail") == kEmail && password && decoded(host, *password) == kPassword,
      describe(host.setting(0, module, "EMail")));
  DestroyWindow(window);
  pump(100);
}

// --- the details page --------------------------------------------------------------------------------

void check_details_page(Report& report, hostsim::Host& host, const std::string& module) {
  HostWindow state;
  HWND window = make_host_window("Details", &state);
  if (!report.check("the host's details window", window != nullptr, "CreateWindowEx failed")) return;
  size_t before = host.pages().size();
  host.raise_event(ME_USERINFO_INITIALISE, reinterpret_cast<WPARAM>(window), 0);
  std::optional<hostsim::PageRecord> record = page_for(host, before, "userinfo", window);
  if (!report.check("UserInfo/Initialise adds the details page for the account", record.has_value(),
                    "no page for the window")) {
    DestroyWindow(window);
    return;
  }
  report.check("details page record",
               record->page.size == kPageSize && record->page.position == -1900000000 &&
                   record->title == module && record->page.template_name == MAKEINTRESOURCEA(601),
               "position " + std::to_string(record->page.position) + ", title " + quoted(record->title));
  HWND page = make_page(*record, window);
  if (!report.check("the details page is made from template 601", page != nullptr,
                    "CreateDialogParam failed with error " + std::to_string(GetLastError()))) {
    DestroyWindow(window);
    return;
  }
  PSHNOTIFY notice{};
  notice.hdr.hwndFrom = window;
  notice.hdr.idFrom = 0;
  notice.hdr.code = PSN_INFOCHANGED;
  notice.lParam = 0;  // the account itself
  SendMessageA(page, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&notice));
  show_with_page(window, page);
  report.check("the details page shows the account's address and the missing location",
               item_text(page, 1001) == kEmail && item_text(page, 700) == "-internal-error-",
               quoted(item_text(page, 1001)) + ", " + quoted(item_text(page, 700)));
  check_layout(report, page, "details page");
  check_screenshot(report, window, "dialog-details.bmp", "details page");

  // Escape, as the window's message loop hands it to the page's dialog manager.
  HWND field = GetDlgItem(page, 1001);
  SetFocus(field);
  MSG key{field, WM_KEYDOWN, VK_ESCAPE, 0x00010001, GetTickCount(), {}};
  IsDialogMessageA(page, &key);
  pump(100);
  report.check("Escape on the details page closes the details window", state.cancelled && !IsWindow(window),
               state.cancelled ? "the window is still there" : "the window got no Cancel command");
  if (IsWindow(window)) DestroyWindow(window);
}

}  // namespace

void check_dialogs(Report& report, hostsim::Host& host, NoticeWatcher& watcher, const std::string& dll_path,
                   const std::string& module) {
  if (!check_setup_during_load(report, host, watcher, dll_path, module)) return;
  host.modules_loaded();
  check_options_page(report, host, module);
  check_details_page(report, host, module);
  host.unload_plugins();
  report.check("second load unloaded and freed", GetModuleHandleA(dll_path.c_str()) == nullptr,
               "still loaded");
}

}  // namespace wincheck
