// The record of one search hit this protocol hands to the host: the host's own record first,
// whose size member gives the size of this one, then what the directory says of the user. A host
// keeps a hit by copying that many bytes, so the fields after its own are values, never pointers;
// one that knows only its own record reads that and passes the rest over.
#pragma once

#include "host/host_api.h"

// Room for a city's name in host text, with its NUL.
constexpr size_t MRIM_SEARCH_CITY_SIZE = 128;

struct MrimSearchResult {
  SearchResult host;
  DWORD status;  // a host status code; ID_STATUS_OFFLINE when the directory names none
  DWORD age;     // in whole years; 0 when the directory gives no birthday
  char city[MRIM_SEARCH_CITY_SIZE];
};
