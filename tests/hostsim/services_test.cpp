// The host stand-in's protocol, language-pack, menu, page and tray services, and the desktop it
// offers the plug-in's platform layer: each call is answered as a plug-in relies on and recorded.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "hostsim/host.h"
#include "hostsim/last_error.h"
#include "platform/desktop.h"

namespace {

using hostsim::Handle;
using hostsim::Host;

class ServicesTest : public ::testing::Test {
 protected:
  Host host;
  const PluginLink& link = *host.plugin_link();

  INT_PTR call(const char* service, WPARAM w = 0, LPARAM l = 0) { return link.CallService(service, w, l); }
  template <class T>
  static LPARAM ptr(T* p) {
    return reinterpret_cast<LPARAM>(p);
  }
};

TEST_F(ServicesTest, ContactsBelongToTheProtocolThatClaimedThem) {
  ProtocolDescriptor descriptor{12, "MRIM", PROTOTYPE_PROTOCOL};
  call(MS_PROTO_REGISTERMODULE, 0, ptr(&descriptor));
  EXPECT_EQ(host.registered_protocols(), (std::vector<std::string>{"MRIM"}));

  auto mine = static_cast<Handle>(call(MS_DB_CONTACT_ADD));
  auto unclaimed = static_cast<Handle>(call(MS_DB_CONTACT_ADD));
  Handle other = host.add_contact("OTHERPROTO");
  std::string name = "MRIM";
  EXPECT_EQ(call(MS_PROTO_ADDTOCONTACT, mine, ptr(name.c_str())), 0);
  name = "gone";  // the host keeps its own copy

  auto proto = reinterpret_cast<const char*>(call(MS_PROTO_GETCONTACTBASEPROTO, mine));
  ASSERT_NE(proto, nullptr);
  EXPECT_STREQ(proto, "MRIM");
  EXPECT_STREQ(reinterpret_cast<const char*>(call(MS_PROTO_GETCONTACTBASEPROTO, other)), "OTHERPROTO");
  EXPECT_EQ(call(MS_PROTO_GETCONTACTBASEPROTO, unclaimed), 0);
  EXPECT_EQ(call(MS_PROTO_GETCONTACTBASEPROTO, 0), 0);
  EXPECT_EQ(call(MS_PROTO_GETCONTACTBASEPROTO, 9999), 0);
  // The answer stays valid after the contact is moved elsewhere and deleted.
  call(MS_PROTO_ADDTOCONTACT, mine, ptr("JABBER"));
  host.delete_contact(mine);
  EXPECT_STREQ(proto, "MRIM");
}

TEST_F(ServicesTest, AcknowledgementsAreRecordedWithTheirParameters) {
  std::string ok = "Ok.";
  AckData status{sizeof(AckData),   "MRIM",
                 nullptr,           ACKTYPE_STATUS,
                 ACKRESULT_SUCCESS, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(ID_STATUS_OFFLINE)),
                 ID_STATUS_ONLINE};
  AckData message{sizeof(AckData),
                  "MRIM",
                  reinterpret_cast<HANDLE>(5),
                  ACKTYPE_MESSAGE,
                  ACKRESULT_SUCCESS,
                  reinterpret_cast<HANDLE>(77),
                  ptr(ok.c_str())};
  char email[] = "found@mrim.example";
  SearchResult hit{static_cast<int>(sizeof(SearchResult)), nullptr, nullptr, nullptr, email, {}};
  AckData search_data{sizeof(AckData), "MRIM",         nullptr,
                      ACKTYPE_SEARCH,  ACKRESULT_DATA, reinterpret_cast<HANDLE>(1),
                      ptr(&hit)};
  AckData search_end{
      sizeof(AckData), "MRIM", nullptr, ACKTYPE_SEARCH, ACKRESULT_SUCCESS, reinterpret_cast<HANDLE>(1),
      ptr(ok.c_str())};
  AckData details{sizeof(AckData),
                  "MRIM",
                  reinterpret_cast<HANDLE>(5),
                  ACKTYPE_GETINFO,
                  ACKRESULT_FAILED,
                  reinterpret_cast<HANDLE>(1),
                  0};
  for (AckData* ack : {&status, &message, &search_data, &search_end, &details})
    call(MS_PROTO_BROADCASTACK, 0, ptr(ack));
  ok = "changed";  // texts were copied at the call

  auto acks = host.acks();
  ASSERT_EQ(acks.size(), 5u);
  EXPECT_EQ(acks[0].type, ACKTYPE_STATUS);
  EXPECT_EQ(acks[0].process, static_cast<uintptr_t>(ID_STATUS_OFFLINE));
  EXPECT_EQ(acks[0].param, ID_STATUS_ONLINE);
  EXPECT_EQ(acks[0].param_text, "");
  EXPECT_EQ(acks[1].module, "MRIM");
  EXPECT_EQ(acks[1].contact, 5u);
  EXPECT_EQ(acks[1].process, 77u);
  EXPECT_EQ(acks[1].param_text, "Ok.");
  EXPECT_EQ(acks[2].search_email, "found@mrim.example");
  EXPECT_EQ(acks[2].param_text, "");
  EXPECT_EQ(acks[3].param_text, "Ok.");
  EXPECT_FALSE(acks[3].search_email.has_value());
  EXPECT_EQ(acks[4].result, ACKRESULT_FAILED);

  host.clear_records();
  EXPECT_TRUE(host.acks().empty());
}

TEST_F(ServicesTest, TranslationIsIdentityUntilATableIsLoaded) {
  const char* text = "Authorization..";
  EXPECT_EQ(reinterpret_cast<const char*>(call(MS_LANGPACK_TRANSLATESTRING, 0, ptr(text))), text);
  EXPECT_STREQ(reinterpret_cast<const char*>(call(MS_LANGPACK_TRANSLATESTRING, 0, 0)), "");  // never 0

  host.load_translations({{"Authorization..", "Авторизация.."}});
  auto translated = reinterpret_cast<const char*>(call(MS_LANGPACK_TRANSLATESTRING, 0, ptr(text)));
  EXPECT_STREQ(translated, "Авторизация..");
  EXPECT_EQ(reinterpret_cast<const char*>(call(MS_LANGPACK_TRANSLATESTRING, 0, ptr("Other"))),
            std::string("Other"));
  host.load_translations({});
  EXPECT_STREQ(translated, "Авторизация..");  // handed-out texts live as long as the host

  LangPackTranslateDialog dialog{16, 0, reinterpret_cast<HWND>(0x42), nullptr};
  EXPECT_EQ(call(MS_LANGPACK_TRANSLATEDIALOG, 0, ptr(&dialog)), 0);
  EXPECT_EQ(host.translated_dialogs(), (std::vector<Handle>{0x42}));
}

TEST_F(ServicesTest, MenuItemsPagesAndTypingAreRecorded) {
  ContactMenuItem item{40, "Authorization..", 0, 1000030000, nullptr, "MRIM/ReqAuth", nullptr, 0, 0, "MRIM"};
  auto first = call(MS_CLIST_ADDCONTACTMENUITEM, 0, ptr(&item));
  auto second = call(MS_CLIST_ADDCONTACTMENUITEM, 0, ptr(&item));
  EXPECT_NE(first, 0);
  EXPECT_NE(first, second);
  auto items = host.menu_items();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].name, "Authorization..");
  EXPECT_EQ(items[0].service, "MRIM/ReqAuth");
  EXPECT_EQ(items[0].contact_owner, "MRIM");
  EXPECT_EQ(items[0].position, 1000030000);
  EXPECT_EQ(items[0].handle, static_cast<Handle>(first));

  OptionsPage page{};
  page.size = 60;
  page.title = "MRIM";
  page.group = "Network";
  page.template_name = MAKEINTRESOURCEA(201);
  call(MS_OPT_ADDPAGE, 0x10, ptr(&page));
  page.group = nullptr;
  call(MS_USERINFO_ADDPAGE, 0x20, ptr(&page));
  auto pages = host.pages();
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[0].kind, "options");
  EXPECT_EQ(pages[0].window, 0x10u);
  EXPECT_EQ(pages[0].title, "MRIM");
  EXPECT_EQ(pages[0].group, "Network");
  EXPECT_EQ(pages[0].page.template_name, MAKEINTRESOURCEA(201));
  EXPECT_EQ(pages[1].kind, "userinfo");
  EXPECT_EQ(pages[1].group, "");

  call(MS_PROTO_CONTACTISTYPING, 3, 11);
  ASSERT_EQ(host.typing().size(), 1u);
  EXPECT_EQ(host.typing()[0].contact, 3u);
  EXPECT_EQ(host.typing()[0].seconds, 11);
}

TEST_F(ServicesTest, TrayAnswersAsConfiguredOrIsAbsent) {
  SystrayNotify notice{sizeof(SystrayNotify),       "MRIM",    "New mail",
                       "You have 2 unread letters", NIIF_INFO, 3000};
  EXPECT_EQ(call(MS_CLIST_SYSTRAY_NOTIFY, 0, ptr(&notice)), 0);
  host.set_tray_available(true, 1);
  EXPECT_EQ(call(MS_CLIST_SYSTRAY_NOTIFY, 0, ptr(&notice)), 1);
  auto notices = host.tray_notices();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].protocol, "MRIM");
  EXPECT_EQ(notices[0].title, "New mail");
  EXPECT_EQ(notices[0].text, "You have 2 unread letters");
  EXPECT_EQ(notices[0].info_flags, NIIF_INFO);
  EXPECT_EQ(notices[0].timeout, 3000u);

  host.set_tray_available(false);
  EXPECT_EQ(link.ServiceExists(MS_CLIST_SYSTRAY_NOTIFY), 0);
  EXPECT_EQ(call(MS_CLIST_SYSTRAY_NOTIFY, 0, ptr(&notice)), Host::CALLSERVICE_NOTFOUND);
  host.set_tray_available(true);
  EXPECT_EQ(call(MS_CLIST_SYSTRAY_NOTIFY, 0, ptr(&notice)), 0);
  EXPECT_EQ(host.tray_notices().size(), 3u);
}

TEST_F(ServicesTest, TheDesktopIsFoundByNameAndRecordsMessageBoxes) {
  auto lookup = reinterpret_cast<PlatformDesktopFn>(dlsym(RTLD_DEFAULT, PLATFORM_DESKTOP_SYMBOL));
  ASSERT_NE(lookup, nullptr);
  PlatformDesktop* desktop = lookup();
  EXPECT_EQ(desktop->message_box("Текст", "Заголовок", MB_OK | MB_ICONINFORMATION), IDOK);
  auto boxes = host.message_boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text_utf8, "Текст");
  EXPECT_EQ(boxes[0].title_utf8, "Заголовок");
  EXPECT_EQ(boxes[0].type, MB_OK | MB_ICONINFORMATION);

  // The last error is the calling thread's own.
  hostsim::set_thread_last_error(ERROR_INVALID_PARAMETER);
  EXPECT_EQ(desktop->get_last_error(), ERROR_INVALID_PARAMETER);
  std::thread([&] {
    EXPECT_EQ(desktop->get_last_error(), 0u);
    desktop->set_last_error(5);
    EXPECT_EQ(hostsim::thread_last_error(), 5u);
  }).join();
  EXPECT_EQ(desktop->get_last_error(), ERROR_INVALID_PARAMETER);
}

}  // namespace
