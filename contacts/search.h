// The directory searches: by e-mail address, by name (nickname, first and last name) and by the
// advanced fields (age from and to, city, online now), each on a thread of its own, with every
// row of the server's page handed to the host as a search hit.
#pragma once

#include <cstdint>

#include "host/host_api.h"
#include "host/search_record.h"
#include "protocol/codec.h"

// The size member of a hit: this protocol's record (see host/search_record.h).
constexpr int MRIM_SEARCH_RESULT_SIZE = sizeof(MrimSearchResult);

// A query's values: 199 bytes each (the user part and domain of an address included), the
// address 399, a reply's item 1,023, each with its NUL.
constexpr uint32_t SEARCH_PART_SIZE = 200;
constexpr uint32_t SEARCH_ADDRESS_SIZE = 400;
constexpr uint32_t SEARCH_SCRATCH_SIZE = 1024;
// The directory request and its reply share the job's packet, received with this capacity: a
// page of 50 rows of a dozen short fields fits many times over.
constexpr uint32_t SEARCH_PACKET_CAPACITY = sizeof(MrimPacket);
// A full page: servers answer at most this many rows, and a repeat of the query within about
// two minutes gets the next page.
constexpr uint32_t SEARCH_PAGE_ROWS = 50;
// The most items a query has: the address's two, or nickname, first and last name, two ages,
// city and online.
constexpr int SEARCH_ITEMS_MAX = 8;

struct SearchItem {
  uint32_t key;  // MRIM_SEARCH_KEY_*
  bool text;     // a name: UTF-16LE in a Unicode session, else code page 1251
  char value[SEARCH_PART_SIZE];
};

// One row of a reply, as host text.
struct SearchRow {
  char address[SEARCH_ADDRESS_SIZE];
  char nickname[SEARCH_PART_SIZE];
  char first_name[SEARCH_PART_SIZE];
  char last_name[SEARCH_PART_SIZE];
  char birthday[32];
  char location[MRIM_SEARCH_CITY_SIZE];
  uint32_t mrim_status;  // as the directory gives it (hexadecimal digits); 0 offline
};

// What a search service hands to its thread; the thread owns and frees it. As with messages,
// the thread's identifier is not kept in the job: the creation call would write it when the
// thread may already have freed the job.
struct SearchJob {
  DWORD search_id;
  // 0: nothing the server could answer (an address too long for the texts above, an empty
  // query); the thread then reports the search ended without asking the server.
  int ask_server;
  // A lookup of one address: a reply of nobody is asked once more (see directory.cpp).
  bool exact;
  int hits;  // handed to the host so far
  int item_count;
  SearchItem items[SEARCH_ITEMS_MAX];
  char address[SEARCH_ADDRESS_SIZE];  // an exact lookup's address
  MrimPacket packet;
  char scratch[SEARCH_SCRATCH_SIZE];
  SearchRow row;
  MrimSearchResult result;
};

enum MrimSearchOutcome {
  MRIM_SEARCH_NOBODY,    // the status says nobody, or there is no status
  MRIM_SEARCH_FOUND,     // found: the rows that could be read went to the row callback
  MRIM_SEARCH_TOO_MANY,  // the server refuses more searches for now
};

// Reads a received directory reply (its code already checked): each whole row goes to on_row
// with context, in the reply's order; *rows says how many. A row cut short ends the reading.
// Names and values pass through scratch (scratch_size bytes). Reads only within the packet's
// dlen.
MrimSearchOutcome mrim_search_reply_rows(const MrimPacket* reply, SearchRow* row, char* scratch,
                                         uint32_t scratch_size, void (*on_row)(const SearchRow*, void*),
                                         void* context, uint32_t* rows);

// Fills the host's hit from a row; its texts point into the row, which must outlive it.
// today_* give the age (the local date).
void mrim_search_result_from_row(const SearchRow* row, MrimSearchResult* result, int today_year,
                                 int today_month, int today_day);

// "/SearchByEmail": lParam the address. "/SearchByName": lParam the host's SearchByName record.
// Each returns the search's identifier, never 0.
INT_PTR MRIM_SearchByEmail(WPARAM wparam, LPARAM address);
INT_PTR MRIM_SearchByName(WPARAM wparam, LPARAM names);
// A search identifier for the host: a sequence number, never 0.
DWORD mrim_next_search_id();
// Adds a value to a query built apart (the advanced search): false when it does not fit, or the
// query is full. An empty value is no item, and true.
bool mrim_search_add_item(SearchJob* job, uint32_t key, bool text, const char* value);
// Starts a search job the caller filled (calloc'd; items, ask_server); takes it over. Returns
// its identifier.
DWORD mrim_search_start(SearchJob* job);
DWORD WINAPI MRIM_SearchThread(LPVOID job);
