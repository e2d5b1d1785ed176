// The directory searches: the services that make a query, the thread that asks the server, and
// the reading of the rows of its reply into the host's search hits.
#include "contacts/search.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "contacts/directory.h"
#include "core/host_services.h"
#include "core/host_text.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "protocol/online.h"
#include "protocol/request.h"
#include "protocol/wire_text.h"

namespace {

constexpr DWORD kPauseBeforeRequestMs = 200;
constexpr DWORD kPauseBeforeClosingMs = 100;

// The fields of a reply the hits are made of, by their place among its names. Names past the
// first kKnownFieldsMax are read and passed over.
enum class Field : BYTE { other, user, domain, nickname, first_name, last_name, birthday, location, status };
constexpr uint32_t kKnownFieldsMax = 64;

const struct {
  const char* name;
  Field field;
} kFields[] = {{"Username", Field::user},      {"Domain", Field::domain},
               {"Nickname", Field::nickname},  {"FirstName", Field::first_name},
               {"LastName", Field::last_name}, {"Birthday", Field::birthday},
               {"Location", Field::location},  {"mrim_status", Field::status}};

Field field_of(const char* name) {
  for (const auto& known : kFields)
    if (strcmp(name, known.name) == 0) return known.field;
  return Field::other;
}

const char* name_of(Field field) {
  for (const auto& known : kFields)
    if (known.field == field) return known.name;
  return "";
}

// Where the row keeps a text field, with its size; null for the status and other fields.
char* row_text(SearchRow* row, Field field, char* user, char* domain, uint32_t* size) {
  *size = SEARCH_PART_SIZE;
  switch (field) {
    case Field::user:
      return user;
    case Field::domain:
      return domain;
    case Field::nickname:
      return row->nickname;
    case Field::first_name:
      return row->first_name;
    case Field::last_name:
      return row->last_name;
    case Field::birthday:
      *size = sizeof row->birthday;
      return row->birthday;
    case Field::location:
      *size = sizeof row->location;
      return row->location;
    default:
      return nullptr;
  }
}

// One value into out as host text, in the form its field's name says. A value holding a NUL
// keeps what comes before it.
int read_value(uint32_t* position, const MrimPacket* packet, const char* name, char* out, uint32_t out_size) {
  const BYTE* data = nullptr;
  uint32_t length = 0;
  if (mrim_read_lps_view(position, packet, &data, &length) != 0) return 1;
  TextForm form = TextForm::cp1251;
  if (mrim_session_unicode() && mrim_directory_value_utf16(name, data, length)) form = TextForm::utf16le;
  if (form == TextForm::cp1251) {
    const void* nul = memchr(data, 0, length);
    if (nul != nullptr) length = static_cast<uint32_t>(static_cast<const BYTE*>(nul) - data);
  }
  host_text_from(data, length, form, out, out_size);
  return 0;
}

// Whole years from "YYYY-MM-DD" to the given date; 0 when the text is no such date or lies ahead.
DWORD age_on(const char* birthday, int year, int month, int day) {
  int born_year = 0, born_month = 0, born_day = 0;
  if (sscanf(birthday, "%4d-%2d-%2d", &born_year, &born_month, &born_day) != 3) return 0;
  if (born_year < 1000 || born_month < 1 || born_month > 12 || born_day < 1 || born_day > 31) return 0;
  int age = year - born_year;
  if (month < born_month || (month == born_month && day < born_day)) --age;
  return age > 0 ? static_cast<DWORD>(age) : 0;
}

// The query's items after the header of the job's packet.
int build_request(SearchJob* job) {
  MrimPacket* packet = &job->packet;
  mrim_packet_init(packet, MRIM_CS_DIRECTORY_REQUEST, mrim_next_seq());
  const bool unicode = mrim_session_unicode();
  int failed = 0;
  for (int i = 0; i < job->item_count; ++i) {
    const SearchItem& item = job->items[i];
    failed |= mrim_append_ul(packet, item.key);
    failed |= item.text ? mrim_append_text(packet, item.value, unicode) : mrim_append_lps(packet, item.value);
  }
  return failed;
}

struct RowContext {
  SearchJob* job;
  int year, month, day;
};

// An exact lookup has one hit, the address it looked for, whatever the rows say of it; a row of
// another search without an address is nobody the user could add.
void hand_row_to_host(const SearchRow* row, void* parameter) {
  auto* context = static_cast<RowContext*>(parameter);
  SearchJob* job = context->job;
  if (job->exact && job->hits > 0) return;
  mrim_search_result_from_row(row, &job->result, context->year, context->month, context->day);
  if (job->exact) job->result.host.email = job->address;
  if (job->result.host.email[0] == '\0') return;
  if (job->result.host.nick == nullptr) job->result.host.nick = job->result.host.email;
  ++job->hits;
  broadcast_ack(protocol_state.module_name, nullptr, ACKTYPE_SEARCH, ACKRESULT_DATA,
                reinterpret_cast<HANDLE>(static_cast<uintptr_t>(job->search_id)),
                reinterpret_cast<LPARAM>(&job->result));
}

// Asks the server and hands each row to the host. A lookup of one address that finds nobody is
// asked once more: a server that pages repeated queries answers every second one with the empty
// page after its only row.
MrimSearchOutcome run_search(SearchJob* job, uint32_t* rows) {
  *rows = 0;
  time_t now = time(nullptr);
  struct tm today {};
  if (localtime_s(&today, &now) != 0) today = tm{};
  RowContext context{job, today.tm_year + 1900, today.tm_mon + 1, today.tm_mday};
  for (int attempt = 0; attempt < (job->exact ? 2 : 1); ++attempt) {
    if (attempt > 0) mrim_log("MRIM_SearchThread: nobody found; asking once more\n");
    if (build_request(job) != 0) return MRIM_SEARCH_NOBODY;
    if (mrim_directory_exchange(&job->packet, "MRIM_SearchThread", SEARCH_PACKET_CAPACITY) != 0)
      return MRIM_SEARCH_NOBODY;
    MrimSearchOutcome outcome = mrim_search_reply_rows(&job->packet, &job->row, job->scratch,
                                                       sizeof job->scratch, hand_row_to_host, &context, rows);
    // Found, with no row that could be read: the address alone.
    if (outcome == MRIM_SEARCH_FOUND && job->exact && job->hits == 0) {
      memset(&job->row, 0, sizeof job->row);
      hand_row_to_host(&job->row, &context);
    }
    if (outcome != MRIM_SEARCH_NOBODY) return outcome;
  }
  return MRIM_SEARCH_NOBODY;
}

}  // namespace

// A name cut to fit would look for somebody else: a value too long is refused.
bool mrim_search_add_item(SearchJob* job, uint32_t key, bool text, const char* value) {
  if (value == nullptr || value[0] == '\0') return true;
  if (strlen(value) >= SEARCH_PART_SIZE || job->item_count == SEARCH_ITEMS_MAX) return false;
  SearchItem& item = job->items[job->item_count++];
  item.key = key;
  item.text = text;
  memcpy(item.value, value, strlen(value) + 1);
  return true;
}

DWORD mrim_next_search_id() {
  DWORD id = mrim_next_seq();
  // The host takes 0 for a search that did not start; a counter wrapped round to 0 gives the
  // next number instead.
  return id != 0 ? id : mrim_next_seq();
}

MrimSearchOutcome mrim_search_reply_rows(const MrimPacket* reply, SearchRow* row, char* scratch,
                                         uint32_t scratch_size, void (*on_row)(const SearchRow*, void*),
                                         void* context, uint32_t* rows) {
  *rows = 0;
  uint32_t position = 0;
  uint32_t status = 0;
  if (mrim_read_ul(&position, reply, &status) != 0) return MRIM_SEARCH_NOBODY;
  if (status == MRIM_DIRECTORY_TOO_MANY) return MRIM_SEARCH_TOO_MANY;
  if (status != MRIM_DIRECTORY_FOUND) return MRIM_SEARCH_NOBODY;
  uint32_t field_count = 0;
  uint32_t row_count = 0;
  uint32_t server_time = 0;
  if (mrim_read_ul(&position, reply, &field_count) != 0 || mrim_read_ul(&position, reply, &row_count) != 0 ||
      mrim_read_ul(&position, reply, &server_time) != 0)
    return MRIM_SEARCH_FOUND;
  Field fields[kKnownFieldsMax] = {};
  // Every read consumes at least four bytes or fails, so lying counts end with the body.
  for (uint32_t i = 0; i < field_count; ++i) {
    if (mrim_read_lps(&position, reply, scratch, scratch_size) != 0) return MRIM_SEARCH_FOUND;
    if (i < kKnownFieldsMax) fields[i] = field_of(scratch);
  }
  // A reply with no fields names nobody, however many rows it claims.
  if (field_count == 0) return MRIM_SEARCH_FOUND;
  for (uint32_t r = 0; r < row_count; ++r) {
    memset(row, 0, sizeof *row);
    char user[SEARCH_PART_SIZE] = "";
    char domain[SEARCH_PART_SIZE] = "";
    for (uint32_t i = 0; i < field_count; ++i) {
      const Field field = i < kKnownFieldsMax ? fields[i] : Field::other;
      const char* name = name_of(field);
      uint32_t size = 0;
      char* text = row_text(row, field, user, domain, &size);
      int failed = 0;
      if (text != nullptr) {
        failed = read_value(&position, reply, name, text, size);
      } else if (field == Field::status) {
        failed = read_value(&position, reply, name, scratch, scratch_size);
        if (failed == 0) row->mrim_status = static_cast<uint32_t>(strtoul(scratch, nullptr, 16));
      } else {
        failed = mrim_read_lps(&position, reply, nullptr, 0);
      }
      if (failed != 0) return MRIM_SEARCH_FOUND;
    }
    if (user[0] != '\0' && domain[0] != '\0')
      snprintf(row->address, sizeof row->address, "%s@%s", user, domain);
    ++*rows;
    on_row(row, context);
  }
  return MRIM_SEARCH_FOUND;
}

void mrim_search_result_from_row(const SearchRow* row, MrimSearchResult* result, int today_year,
                                 int today_month, int today_day) {
  memset(result, 0, sizeof *result);
  result->host.size = MRIM_SEARCH_RESULT_SIZE;
  // What the row does not say stays null, as a host's record has it.
  auto text = [](const char* value) { return value[0] != '\0' ? const_cast<char*>(value) : nullptr; };
  result->host.nick = text(row->nickname);
  result->host.first_name = text(row->first_name);
  result->host.last_name = text(row->last_name);
  result->host.email = const_cast<char*>(row->address);
  result->status = static_cast<DWORD>(host_status_from_mrim(row->mrim_status));
  result->age = age_on(row->birthday, today_year, today_month, today_day);
  memcpy(result->city, row->location, sizeof result->city);
}

DWORD mrim_search_start(SearchJob* job) {
  job->search_id = mrim_next_search_id();
  const DWORD id = job->search_id;
  if (thread_start_short(MRIM_SearchThread, job) != 0) free(job);
  return id;
}

INT_PTR MRIM_SearchByEmail(WPARAM, LPARAM lparam) {
  auto* address = reinterpret_cast<const char*>(lparam);
  const char* at = address != nullptr ? strchr(address, '@') : nullptr;
  if (at == nullptr) return mrim_next_search_id();
  auto* job = static_cast<SearchJob*>(calloc(1, sizeof(SearchJob)));
  if (job == nullptr) return mrim_next_search_id();
  size_t user_length = static_cast<size_t>(at - address);
  size_t domain_length = strlen(at + 1);
  // An address longer than the job's texts cannot be any user's. The search still runs, so
  // that the host hears it end (with no hit), but it does not ask the server.
  job->ask_server = user_length < SEARCH_PART_SIZE && domain_length < SEARCH_PART_SIZE &&
                    user_length + 1 + domain_length < sizeof job->address;
  if (job->ask_server) {
    memcpy(job->address, address, user_length + 1 + domain_length + 1);
    job->exact = true;
    job->item_count = 2;
    job->items[0].key = MRIM_SEARCH_KEY_USER;
    memcpy(job->items[0].value, address, user_length);
    job->items[1].key = MRIM_SEARCH_KEY_DOMAIN;
    memcpy(job->items[1].value, at + 1, domain_length + 1);
  }
  return mrim_search_start(job);
}

INT_PTR MRIM_SearchByName(WPARAM, LPARAM lparam) {
  auto* names = reinterpret_cast<const SearchByName*>(lparam);
  auto* job = static_cast<SearchJob*>(calloc(1, sizeof(SearchJob)));
  if (job == nullptr) return mrim_next_search_id();
  if (names != nullptr) {
    job->ask_server = mrim_search_add_item(job, MRIM_SEARCH_KEY_NICKNAME, true, names->nick) &&
                      mrim_search_add_item(job, MRIM_SEARCH_KEY_FIRST_NAME, true, names->first_name) &&
                      mrim_search_add_item(job, MRIM_SEARCH_KEY_LAST_NAME, true, names->last_name) &&
                      job->item_count > 0;
  }
  return mrim_search_start(job);
}

DWORD WINAPI MRIM_SearchThread(LPVOID parameter) {
  auto* job = static_cast<SearchJob*>(parameter);
  mrim_log("MRIM_SearchThread: started\n");
  // A stop request (Unload) ends the search at once; the host is going away and hears nothing.
  if (!stop_sleep(kPauseBeforeRequestMs)) {
    uint32_t rows = 0;
    MrimSearchOutcome outcome = job->ask_server ? run_search(job, &rows) : MRIM_SEARCH_NOBODY;
    if (!stop_sleep(kPauseBeforeClosingMs)) {
      // A full page says that a repeat of the query brings the next one; a refusal says why.
      const bool refused = outcome == MRIM_SEARCH_TOO_MANY;
      const char* closing = refused ? translate("Too many searches; try again in a few minutes.")
                            : rows >= SEARCH_PAGE_ROWS ? "More."
                                                       : "Ok.";
      if (refused) mrim_log("MRIM_SearchThread: the server refuses more searches for now\n");
      broadcast_ack(protocol_state.module_name, nullptr, ACKTYPE_SEARCH,
                    refused ? ACKRESULT_FAILED : ACKRESULT_SUCCESS,
                    reinterpret_cast<HANDLE>(static_cast<uintptr_t>(job->search_id)),
                    reinterpret_cast<LPARAM>(closing));
    }
  }
  free(job);
  mrim_log("MRIM_SearchThread: ended\n");
  return 0;
}
