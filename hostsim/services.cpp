// The host stand-in's own services, as a plug-in calls them through CallService: the profile
// database, protocol bookkeeping, the language pack, the contact menu, option and details pages
// and tray notices. Each one records what it was told so tests can observe it.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "hostsim/code_page.h"
#include "hostsim/host_impl.h"

namespace hostsim {

namespace {

std::string text_or_empty(const char* text) { return text ? text : ""; }

// Password scrambling of "DB/Crypt/EncodeString": each byte 1..255 is shifted within 1..255
// by an amount that depends on its position. Byte-wise, so the length is kept and the text
// stays within its buffer; never 0, so the encoded text ends where the plain text did.
BYTE crypt_shift(size_t position) { return static_cast<BYTE>((0x35 + position) % 255); }

BYTE encode_byte(BYTE b, size_t position) {
  return static_cast<BYTE>((b - 1 + crypt_shift(position)) % 255 + 1);
}

BYTE decode_byte(BYTE b, size_t position) {
  return static_cast<BYTE>((b - 1 + 255 - crypt_shift(position)) % 255 + 1);
}

// wParam is the buffer's size; the text ends at its NUL or at the end of the buffer.
INT_PTR crypt_in_place(WPARAM size, LPARAM text, BYTE (*transform)(BYTE, size_t)) {
  auto* bytes = reinterpret_cast<BYTE*>(text);
  if (!bytes || size == 0) return 1;
  for (size_t i = 0; i < size && bytes[i] != 0; ++i) bytes[i] = transform(bytes[i], i);
  return 0;
}

// Fills the caller's variant with the stored value, a text in the type `type` (DBVT_ASCIIZ or
// DBVT_UTF8); 0 on success, as the service answers.
INT_PTR hand_over(const Setting& stored, BYTE type, SettingVariant& variant) {
  variant.text = nullptr;  // clears the whole value field before a narrower number goes in
  if (!stored.is_text()) {
    // Every numeric type reports its whole stored value; readers take the width they need.
    variant.dword_value = stored.number;
    variant.type = stored.type;
    return 0;
  }
  std::string text = stored.type == type ? stored.text
                     : type == DBVT_UTF8 ? ansi_to_utf8(stored.text)
                                         : utf8_to_ansi(stored.text);
  // Given back through "DB/Contact/FreeVariant".
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (!copy) return 1;
  std::memcpy(copy, text.c_str(), text.size() + 1);
  variant.text = copy;
  variant.type = type;
  return 0;
}

void install_database(Host& host, HostImpl& impl) {
  host.create_service(MS_DB_CONTACT_FINDFIRST, [&impl](WPARAM, LPARAM) -> INT_PTR {
    return static_cast<INT_PTR>(impl.profile.first_contact());
  });
  host.create_service(MS_DB_CONTACT_FINDNEXT, [&impl](WPARAM contact, LPARAM) -> INT_PTR {
    return static_cast<INT_PTR>(impl.profile.next_contact(contact));
  });
  host.create_service(MS_DB_CONTACT_ADD, [&host](WPARAM, LPARAM) -> INT_PTR {
    return static_cast<INT_PTR>(host.add_contact());
  });

  host.create_service(MS_DB_CONTACT_GETSETTING, [&impl](WPARAM contact, LPARAM l) -> INT_PTR {
    auto* request = reinterpret_cast<SettingRequest*>(l);
    if (!request || !request->module || !request->setting || !request->value) return 1;
    std::optional<Setting> stored = impl.profile.setting(contact, request->module, request->setting);
    if (!stored) return 1;
    // A caller of this service may predate UTF-8: it gets texts in the system's code page.
    return hand_over(*stored, stored->is_text() ? DBVT_ASCIIZ : stored->type, *request->value);
  });
  host.create_service(MS_DB_CONTACT_FREEVARIANT, [](WPARAM, LPARAM l) -> INT_PTR {
    auto* variant = reinterpret_cast<SettingVariant*>(l);
    if (!variant) return 1;
    if (variant->type == DBVT_ASCIIZ || variant->type == DBVT_UTF8) {
      std::free(variant->text);
      variant->text = nullptr;
    }
    variant->type = DBVT_DELETED;
    return 0;
  });
  host.create_service(MS_DB_CONTACT_WRITESETTING, [&host](WPARAM contact, LPARAM l) -> INT_PTR {
    auto* write = reinterpret_cast<const SettingWrite*>(l);
    if (!write || !write->module || !write->setting) return 1;
    Setting value;
    value.type = write->value.type;
    switch (write->value.type) {
      case DBVT_BYTE:
        value.number = write->value.byte_value;
        break;
      case DBVT_WORD:
        value.number = write->value.word_value;
        break;
      case DBVT_DWORD:
        value.number = write->value.dword_value;
        break;
      case DBVT_ASCIIZ:
      case DBVT_UTF8:  // Host::write_setting refuses it on an older host
        if (!write->value.text) return 1;
        value.text = write->value.text;
        break;
      default:
        return 1;
    }
    return host.write_setting(contact, write->module, write->setting, value) ? 0 : 1;
  });

  // As the host does it: the path cut to the buffer's size, without a terminator when it fills
  // the buffer; 0 whatever the size.
  host.create_service(MS_DB_GETPROFILEPATH, [&host](WPARAM size, LPARAM l) -> INT_PTR {
    auto* buffer = reinterpret_cast<char*>(l);
    if (buffer == nullptr || size == 0) return 1;
    const std::string folder = host.profile_folder();
    std::strncpy(buffer, folder.c_str(), size);
    return 0;
  });
  host.create_service(MS_DB_CRYPT_ENCODESTRING,
                      [](WPARAM size, LPARAM text) { return crypt_in_place(size, text, encode_byte); });
  host.create_service(MS_DB_CRYPT_DECODESTRING,
                      [](WPARAM size, LPARAM text) { return crypt_in_place(size, text, decode_byte); });

  host.create_service(MS_DB_EVENT_ADD, [&host, &impl](WPARAM contact, LPARAM l) -> INT_PTR {
    auto* info = reinterpret_cast<const EventInfo*>(l);
    // The host takes only a record of its own size (which follows its pointers' width).
    if (!info || info->size != static_cast<int>(sizeof(EventInfo)) || (info->blob_size > 0 && !info->blob))
      return 0;
    StoredEvent event;
    event.contact = contact;
    event.module = text_or_empty(info->module);
    event.timestamp = info->timestamp;
    event.flags = info->flags;
    event.type = info->event_type;
    event.blob.assign(info->blob, info->blob + info->blob_size);
    Handle handle = impl.profile.add_event(std::move(event));
    host.notify_changed();
    return static_cast<INT_PTR>(handle);
  });
  host.create_service(MS_DB_EVENT_GETBLOBSIZE, [&impl](WPARAM handle, LPARAM) -> INT_PTR {
    std::optional<StoredEvent> event = impl.profile.event(handle);
    return event ? static_cast<INT_PTR>(event->blob.size()) : -1;
  });
  host.create_service(MS_DB_EVENT_GET, [&impl](WPARAM handle, LPARAM l) -> INT_PTR {
    auto* info = reinterpret_cast<EventInfo*>(l);
    std::optional<StoredEvent> event = impl.profile.event(handle);
    if (!info || info->size != static_cast<int>(sizeof(EventInfo)) || !event) return 1;
    info->module = impl.intern(event->module);
    info->timestamp = event->timestamp;
    info->flags = event->flags;
    info->event_type = event->type;
    // The caller's buffer bounds the copy; blob_size then tells how much of it was filled.
    DWORD copied = info->blob ? std::min<DWORD>(info->blob_size, static_cast<DWORD>(event->blob.size())) : 0;
    if (copied) std::memcpy(info->blob, event->blob.data(), copied);
    info->blob_size = copied;
    return 0;
  });
}

void install_protocols(Host& host, HostImpl& impl) {
  host.create_service(MS_PROTO_REGISTERMODULE, [&impl](WPARAM, LPARAM l) -> INT_PTR {
    auto* descriptor = reinterpret_cast<const ProtocolDescriptor*>(l);
    if (!descriptor || !descriptor->name) return 1;
    impl.record([&] { impl.protocols.emplace_back(descriptor->name); });
    return 0;
  });
  host.create_service(MS_PROTO_GETCONTACTBASEPROTO, [&impl](WPARAM contact, LPARAM) -> INT_PTR {
    std::optional<std::string> protocol = impl.profile.protocol(contact);
    return protocol ? reinterpret_cast<INT_PTR>(impl.intern(*protocol)) : 0;
  });
  host.create_service(MS_PROTO_ADDTOCONTACT, [&host, &impl](WPARAM contact, LPARAM l) -> INT_PTR {
    auto* protocol = reinterpret_cast<const char*>(l);
    if (!protocol || !impl.profile.set_protocol(contact, protocol)) return 1;
    // A real host keeps a contact's protocol as its setting "Protocol"/"p" and writes it through
    // the settings path: every module hooked on setting changes hears of it, on this thread.
    host.write_setting(contact, "Protocol", "p", Setting::string(protocol));
    host.notify_changed();
    return 0;
  });
  host.create_service(MS_PROTO_BROADCASTACK, [&host, &impl](WPARAM, LPARAM l) -> INT_PTR {
    auto* ack = reinterpret_cast<const AckData*>(l);
    if (!ack) return 1;
    AckRecord record;
    record.module = text_or_empty(ack->module);
    record.contact = reinterpret_cast<Handle>(ack->contact);
    record.type = ack->type;
    record.result = ack->result;
    record.process = reinterpret_cast<uintptr_t>(ack->process);
    record.param = ack->param;
    // Only message, away-message and search acknowledgements carry a pointer; a search hit is a
    // record, of which a protocol's own fields follow the host's.
    if (ack->param && (ack->type == ACKTYPE_MESSAGE || ack->type == ACKTYPE_SEARCH ||
                       ack->type == ACKTYPE_AWAYMSG || ack->type == ACKTYPE_CONTACTS)) {
      if (ack->type == ACKTYPE_SEARCH && ack->result == ACKRESULT_DATA) {
        auto* result = reinterpret_cast<const SearchResult*>(ack->param);
        auto optional_text = [](const char* text) {
          return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
        };
        record.search_email = text_or_empty(result->email);
        record.search_record_size = result->size;
        record.search_nick = optional_text(result->nick);
        record.search_first_name = optional_text(result->first_name);
        record.search_last_name = optional_text(result->last_name);
        record.search_reserved_zero = std::all_of(std::begin(result->reserved), std::end(result->reserved),
                                                  [](BYTE b) { return b == 0; });
        // As the host keeps a hit: the record's own size, copied whole (a size out of all
        // reason is taken as the host's record alone).
        size_t size = result->size >= static_cast<int>(sizeof(SearchResult)) && result->size <= 4096
                          ? static_cast<size_t>(result->size)
                          : sizeof(SearchResult);
        auto* bytes = reinterpret_cast<const BYTE*>(result);
        record.search_record.assign(bytes, bytes + size);
      } else {
        record.param_text = reinterpret_cast<const char*>(ack->param);
      }
    }
    // The record lives for the call only, so the host copies what it keeps.
    if (ack->type == ACKTYPE_AVATAR && ack->process != nullptr) {
      auto* information = reinterpret_cast<const AvatarInformation*>(ack->process);
      if (information->size == static_cast<int>(sizeof(AvatarInformation))) {
        record.avatar_format = information->format;
        record.avatar_path =
            std::string(information->filename, strnlen(information->filename, sizeof information->filename));
      }
    }
    impl.record([&] { impl.acks.push_back(std::move(record)); });
    // As the host does: every module hooked on acknowledgements hears of it, on this thread.
    host.raise_event(ME_PROTO_ACK, 0, l);
    return 0;
  });
  host.create_service(MS_PROTO_CONTACTISTYPING, [&impl](WPARAM contact, LPARAM seconds) -> INT_PTR {
    impl.record([&] { impl.typing.push_back({contact, static_cast<int>(seconds)}); });
    return 0;
  });
}

void install_interface(Host& host, HostImpl& impl) {
  host.create_service(MS_LANGPACK_TRANSLATESTRING, [&impl](WPARAM, LPARAM l) -> INT_PTR {
    auto* text = reinterpret_cast<const char*>(l);
    if (!text) return reinterpret_cast<INT_PTR>("");
    std::string translated;
    {
      std::lock_guard lock(impl.text_mu);
      auto it = impl.translations.find(text);
      if (it == impl.translations.end()) return l;
      translated = it->second;
    }
    return reinterpret_cast<INT_PTR>(impl.intern(translated));
  });
  host.create_service(MS_LANGPACK_TRANSLATEDIALOG, [&impl](WPARAM, LPARAM l) -> INT_PTR {
    auto* request = reinterpret_cast<const LangPackTranslateDialog*>(l);
    if (!request) return 1;
    impl.record([&] { impl.dialogs.push_back(reinterpret_cast<Handle>(request->dialog)); });
    return 0;
  });
  host.create_service(MS_CLIST_ADDCONTACTMENUITEM, [&impl](WPARAM, LPARAM l) -> INT_PTR {
    if (!l) return 0;
    // The size field is recorded, not trusted: it counts the 32-bit layout, and a 64-bit
    // plug-in may well fill in that number.
    const ContactMenuItem& item = *reinterpret_cast<const ContactMenuItem*>(l);
    MenuItemRecord record;
    record.size = item.size;
    record.name = text_or_empty(item.name);
    record.service = text_or_empty(item.service);
    record.contact_owner = text_or_empty(item.contact_owner);
    record.flags = item.flags;
    record.position = item.position;
    impl.record([&] {
      record.handle = impl.next_menu_item++;
      impl.menu_items.push_back(record);
    });
    return static_cast<INT_PTR>(record.handle);
  });
  auto add_page = [&impl](const char* kind) {
    return [&impl, kind](WPARAM window, LPARAM l) -> INT_PTR {
      if (!l) return 1;
      PageRecord record;
      record.kind = kind;
      record.window = window;
      record.page = *reinterpret_cast<const OptionsPage*>(l);
      record.title = text_or_empty(record.page.title);
      record.group = text_or_empty(record.page.group);
      impl.record([&] { impl.pages.push_back(std::move(record)); });
      return 0;
    };
  };
  host.create_service(MS_OPT_ADDPAGE, add_page("options"));
  host.create_service(MS_USERINFO_ADDPAGE, add_page("userinfo"));
}

}  // namespace

void install_tray_service(Host& host) {
  HostImpl& impl = HostAccess::impl(host);
  host.create_service(MS_CLIST_SYSTRAY_NOTIFY, [&impl](WPARAM, LPARAM l) -> INT_PTR {
    auto* notice = reinterpret_cast<const SystrayNotify*>(l);
    if (!notice || notice->size != static_cast<int>(sizeof(SystrayNotify))) return 1;
    TrayNotice record{text_or_empty(notice->protocol), text_or_empty(notice->title),
                      text_or_empty(notice->text), notice->info_flags, notice->timeout};
    INT_PTR result = 0;
    impl.record([&] {
      impl.tray_notices.push_back(std::move(record));
      result = impl.tray_result;
    });
    return result;
  });
}

void install_setting_str_service(Host& host) {
  HostImpl& impl = HostAccess::impl(host);
  host.create_service(MS_DB_CONTACT_GETSETTING_STR, [&impl](WPARAM contact, LPARAM l) -> INT_PTR {
    auto* request = reinterpret_cast<SettingRequest*>(l);
    if (!request || !request->module || !request->setting || !request->value) return 1;
    BYTE wanted = request->value->type;
    if (wanted != DBVT_ASCIIZ && wanted != DBVT_UTF8) return 1;
    std::optional<Setting> stored = impl.profile.setting(contact, request->module, request->setting);
    // A number is refused rather than handed over: a caller that asked for a text would take
    // it for one.
    if (!stored || !stored->is_text()) return 1;
    return hand_over(*stored, wanted, *request->value);
  });
}

void install_host_services(Host& host) {
  HostImpl& impl = HostAccess::impl(host);
  install_database(host, impl);
  if (host.takes_utf8()) install_setting_str_service(host);
  install_protocols(host, impl);
  install_interface(host, impl);
  install_tray_service(host);
}

}  // namespace hostsim
