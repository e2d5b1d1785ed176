// The host stand-in's side of the plug-ins' dialogs (see dialogs.h): the registry of modules
// with dialog templates, the host's own windows that pages talk to, the desk that answers modal
// dialogs, and the options and details windows.
#include "hostsim/dialogs.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <utility>

namespace hostsim {

namespace {

// --- modules with templates, and the host's own windows --------------------------------------------

// The registries are made on first use and never destroyed: modules detach from library
// destructors, which may run after the C++ run-time has destroyed ordinary static objects.
std::mutex registry_mu;
std::map<void*, const PlatformDialogOps*>& modules() {
  static auto* attached = new std::map<void*, const PlatformDialogOps*>;
  return *attached;
}

bool ops_attached(const PlatformDialogOps* ops) {
  std::lock_guard lock(registry_mu);
  for (const auto& [instance, module_ops] : modules())
    if (module_ops == ops) return true;
  return false;
}

const PlatformDialogOps* ops_of(void* instance) {
  std::lock_guard lock(registry_mu);
  auto it = modules().find(instance);
  return it == modules().end() ? nullptr : it->second;
}

// A window of the host: pages send it messages through SendMessageA.
using WindowProc = std::function<intptr_t(uint32_t, uintptr_t, intptr_t)>;
std::map<void*, WindowProc>& host_windows() {
  static auto* windows = new std::map<void*, WindowProc>;
  return *windows;
}

DialogDesk* active_desk = nullptr;  // guarded by registry_mu

}  // namespace

void desktop_dialog_module_attached(void* instance, const PlatformDialogOps* ops) {
  std::lock_guard lock(registry_mu);
  modules()[instance] = ops;
}

void desktop_dialog_module_detached(void* instance) {
  std::lock_guard lock(registry_mu);
  modules().erase(instance);
}

intptr_t desktop_send_message(void* window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  WindowProc proc;
  {
    std::lock_guard lock(registry_mu);
    auto it = host_windows().find(window);
    if (it == host_windows().end()) return 0;
    proc = it->second;
  }
  return proc(message, wparam, lparam);
}

void desktop_run_modal(void* handle, const PlatformDialogOps* ops) {
  Dialog dialog(handle, ops);
  DialogDesk* desk;
  {
    std::lock_guard lock(registry_mu);
    desk = active_desk;
  }
  if (desk != nullptr) {
    desk->handle(dialog);
  } else {
    std::fprintf(stderr, "[dialog] %s: nobody at the desk, cancelled\n", dialog.caption().c_str());
    dialog.press_escape();
  }
}

// --- Dialog ----------------------------------------------------------------------------------------

bool Dialog::alive() const { return info().has_value(); }

std::optional<PlatformDialogInfo> Dialog::info() const {
  if (handle_ == nullptr || !ops_attached(ops_)) return std::nullopt;
  PlatformDialogInfo out{};
  if (ops_->info(handle_, &out) == 0) return std::nullopt;
  return out;
}

int Dialog::template_id() const {
  auto i = info();
  return i ? i->template_id : 0;
}

std::string Dialog::caption() const {
  auto i = info();
  return i && i->caption != nullptr ? i->caption : "";
}

std::vector<ControlView> Dialog::controls() const {
  std::vector<ControlView> out;
  if (!alive()) return out;
  PlatformControlInfo control{};
  for (int index = 0; ops_->control(handle_, index, &control) != 0; ++index) {
    ControlView view;
    view.id = control.id;
    view.kind = control.kind;
    view.style = control.style;
    view.x = control.x, view.y = control.y, view.cx = control.cx, view.cy = control.cy;
    view.checked = control.check == BST_CHECKED;
    int length = ops_->control_text(handle_, index, nullptr, 0);
    if (length > 0) {
      std::string text(static_cast<size_t>(length) + 1, '\0');
      ops_->control_text(handle_, index, text.data(), length + 1);
      text.resize(static_cast<size_t>(length));
      view.text = std::move(text);
    }
    out.push_back(std::move(view));
  }
  return out;
}

std::optional<ControlView> Dialog::control(int id) const {
  for (ControlView& view : controls())
    if (view.id == id) return view;
  return std::nullopt;
}

std::optional<int> Dialog::index_of(int id) const {
  if (!alive()) return std::nullopt;
  PlatformControlInfo control{};
  for (int index = 0; ops_->control(handle_, index, &control) != 0; ++index)
    if (control.id == id) return index;
  return std::nullopt;
}

std::string Dialog::text(int id) const {
  auto view = control(id);
  return view ? view->text : "";
}

bool Dialog::checked(int id) const {
  auto view = control(id);
  return view && view->checked;
}

bool Dialog::ended() const {
  auto i = info();
  return i && i->ended != 0;
}

INT_PTR Dialog::result() const {
  auto i = info();
  return i ? i->result : 0;
}

bool Dialog::type(int id, const std::string& text) {
  auto index = index_of(id);
  auto view = control(id);
  if (!index || !view || view->kind != PLATFORM_CONTROL_EDIT || (view->style & ES_READONLY) != 0)
    return false;
  ops_->set_control_text(handle_, *index, text.c_str());
  send(WM_COMMAND, MAKEWPARAM(id, EN_CHANGE), 0);
  return true;
}

bool Dialog::click(int id) {
  auto index = index_of(id);
  auto view = control(id);
  if (!index || !view) return false;
  if (view->kind == PLATFORM_CONTROL_CHECKBOX) {
    ops_->set_control_check(handle_, *index, view->checked ? BST_UNCHECKED : BST_CHECKED);
  } else if (view->kind != PLATFORM_CONTROL_BUTTON) {
    return false;
  }
  send(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
  return true;
}

void Dialog::destroy() {
  if (alive()) ops_->destroy(handle_);
}

void Dialog::press_escape() { send(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0); }

void Dialog::close_box() { send(WM_CLOSE, 0, 0); }

INT_PTR Dialog::send(UINT message, WPARAM wparam, LPARAM lparam) {
  if (!alive()) return 0;
  return ops_->send(handle_, message, wparam, lparam);
}

INT_PTR Dialog::notify(void* from, UINT_PTR id_from, UINT code, LPARAM param) {
  PSHNOTIFY notice{};
  notice.hdr.hwndFrom = static_cast<HWND>(from);
  notice.hdr.idFrom = id_from;
  notice.hdr.code = code;
  notice.lParam = param;
  return send(WM_NOTIFY, static_cast<WPARAM>(id_from), reinterpret_cast<LPARAM>(&notice));
}

// --- the desk ----------------------------------------------------------------------------------------

struct DialogDesk::State {
  mutable std::mutex mu;
  Answer answer;
  std::vector<ShownDialog> shown;
};

DialogDesk::DialogDesk() : DialogDesk(Answer{}) {}

DialogDesk::DialogDesk(Answer answer) : state_(std::make_unique<State>()) {
  state_->answer = std::move(answer);
  std::lock_guard lock(registry_mu);
  previous_ = active_desk;
  active_desk = this;
}

DialogDesk::~DialogDesk() {
  std::lock_guard lock(registry_mu);
  if (active_desk == this) active_desk = previous_;
}

void DialogDesk::set_answer(Answer answer) {
  std::lock_guard lock(state_->mu);
  state_->answer = std::move(answer);
}

std::vector<ShownDialog> DialogDesk::shown() const {
  std::lock_guard lock(state_->mu);
  return state_->shown;
}

void DialogDesk::handle(Dialog& dialog) {
  ShownDialog record;
  record.template_id = dialog.template_id();
  record.caption = dialog.caption();
  for (const ControlView& control : dialog.controls()) {
    if (control.kind == PLATFORM_CONTROL_EDIT) record.texts[control.id] = control.text;
    if (control.kind == PLATFORM_CONTROL_CHECKBOX) record.checks[control.id] = control.checked;
  }
  auto info = dialog.info();
  record.had_big_icon = info && info->big_icon != nullptr;
  Answer answer;
  {
    std::lock_guard lock(state_->mu);
    answer = state_->answer;
  }
  if (answer && !dialog.ended()) answer(dialog);
  record.answered = dialog.ended();
  if (!dialog.ended()) dialog.press_escape();
  record.result = dialog.result();
  std::lock_guard lock(state_->mu);
  state_->shown.push_back(std::move(record));
}

// --- windows with pages ------------------------------------------------------------------------------

namespace {

// A host window that holds the pages the plug-ins added for it.
struct PagedWindow {
  char identity = 0;  // the window's handle is this byte's address
  Host* host = nullptr;
  std::vector<PageRecord> records;
  std::vector<std::pair<std::string, Dialog>> pages;  // title, page

  void* handle() { return &identity; }

  void open(Host& owner, const std::string& kind, const char* event, LPARAM lparam, WindowProc proc) {
    host = &owner;
    {
      std::lock_guard lock(registry_mu);
      host_windows()[handle()] = std::move(proc);
    }
    size_t before = owner.pages().size();
    owner.raise_event(event, reinterpret_cast<WPARAM>(handle()), lparam);
    std::vector<PageRecord> all = owner.pages();
    for (size_t i = before; i < all.size(); ++i) {
      if (all[i].kind != kind || all[i].window != reinterpret_cast<Handle>(handle())) continue;
      records.push_back(all[i]);
      const OptionsPage& page = all[i].page;
      const PlatformDialogOps* ops = ops_of(page.instance);
      auto template_id = reinterpret_cast<uintptr_t>(page.template_name);
      if (ops == nullptr || template_id > 0xFFFF) continue;  // not a module this desktop knows
      void* dialog = ops->create(static_cast<int>(template_id), handle(), page.dialog_proc, 0);
      if (dialog != nullptr) pages.emplace_back(all[i].title, Dialog(dialog, ops));
    }
  }

  void close() {
    for (auto& [title, page] : pages) page.destroy();
    pages.clear();
    std::lock_guard lock(registry_mu);
    host_windows().erase(handle());
  }

  Dialog* page(const std::string& title) {
    for (auto& [page_title, page] : pages)
      if (page_title == title && page.alive()) return &page;
    return nullptr;
  }
};

}  // namespace

struct OptionsWindow::State {
  PagedWindow window;
  int changed = 0;
};

OptionsWindow::OptionsWindow(Host& host) : state_(std::make_unique<State>()) {
  State* state = state_.get();
  state->window.open(host, "options", ME_OPT_INITIALISE, 0, [state](uint32_t message, uintptr_t, intptr_t) {
    if (message == PSM_CHANGED) ++state->changed;
    return intptr_t{0};
  });
}

OptionsWindow::~OptionsWindow() { state_->window.close(); }

void* OptionsWindow::handle() const { return state_->window.handle(); }
std::vector<PageRecord> OptionsWindow::page_records() const { return state_->window.records; }
Dialog* OptionsWindow::page(const std::string& title) { return state_->window.page(title); }
int OptionsWindow::changed_notices() const { return state_->changed; }

void OptionsWindow::apply() {
  for (auto& [title, page] : state_->window.pages) page.notify(handle(), 0, PSN_APPLY);
}

struct DetailsWindow::State {
  PagedWindow window;
  Handle contact = 0;
  bool open = true;
};

DetailsWindow::DetailsWindow(Host& host, Handle contact) : state_(std::make_unique<State>()) {
  State* state = state_.get();
  state->contact = contact;
  state->window.open(host, "userinfo", ME_USERINFO_INITIALISE, static_cast<LPARAM>(contact),
                     [state](uint32_t message, uintptr_t wparam, intptr_t) {
                       // The window closes on the Cancel command; its pages go with it when the
                       // test lets go of the window.
                       if (message == WM_COMMAND && LOWORD(wparam) == IDCANCEL) state->open = false;
                       return intptr_t{0};
                     });
  refresh();
}

DetailsWindow::~DetailsWindow() { state_->window.close(); }

void* DetailsWindow::handle() const { return state_->window.handle(); }
std::vector<PageRecord> DetailsWindow::page_records() const { return state_->window.records; }
Dialog* DetailsWindow::page(const std::string& title) {
  return state_->open ? state_->window.page(title) : nullptr;
}
bool DetailsWindow::is_open() const { return state_->open; }

void DetailsWindow::refresh() {
  for (auto& [title, page] : state_->window.pages)
    page.notify(handle(), 0, PSN_INFOCHANGED, static_cast<LPARAM>(state_->contact));
}

struct SearchWindow::State {
  Host* host = nullptr;
  std::string module;
  int identity = 0;
  std::optional<Dialog> page;
};

SearchWindow::SearchWindow(Host& host, std::string module) : state_(std::make_unique<State>()) {
  state_->host = &host;
  state_->module = std::move(module);
  {
    std::lock_guard lock(registry_mu);
    host_windows()[handle()] = [](uint32_t, uintptr_t, intptr_t) { return intptr_t{0}; };
  }
  auto made = reinterpret_cast<void*>(
      host.call_service(state_->module + "/CreateAdvSearchUI", 0, reinterpret_cast<LPARAM>(handle())));
  if (made == nullptr) return;
  // The page is the protocol's own dialog: the module that knows it owns it.
  std::vector<const PlatformDialogOps*> all;
  {
    std::lock_guard lock(registry_mu);
    for (const auto& [instance, ops] : modules()) all.push_back(ops);
  }
  for (const PlatformDialogOps* ops : all) {
    PlatformDialogInfo info{};
    if (ops->info(made, &info) != 0) {
      state_->page.emplace(made, ops);
      break;
    }
  }
}

SearchWindow::~SearchWindow() {
  if (state_->page) state_->page->destroy();
  std::lock_guard lock(registry_mu);
  host_windows().erase(handle());
}

void* SearchWindow::handle() const { return &state_->identity; }
Dialog* SearchWindow::page() { return state_->page && state_->page->alive() ? &*state_->page : nullptr; }
INT_PTR SearchWindow::search() {
  if (page() == nullptr) return 0;
  return state_->host->call_service(state_->module + "/SearchByAdvanced", 0,
                                    reinterpret_cast<LPARAM>(state_->page->handle()));
}

}  // namespace hostsim
