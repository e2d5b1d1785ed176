// The MRIM server stand-in's directory: a search by address (user and domain) or by nickname,
// first and last name, answered with one row per account found.
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "serversim/state.h"

namespace serversim {

using Session = detail::Session;

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

// The fields whose values stay in code page 1251 toward a Unicode session; every other value
// takes the session's encoding.
bool kept_in_cp1251(const std::string& field) {
  static const char* const kNames[] = {"Username", "Domain", "Birthday", "BDay",
                                       "BMonth",   "Phone",  "Zodiac",   "mrim_status"};
  return std::any_of(std::begin(kNames), std::end(kNames), [&](const char* name) { return field == name; });
}

// Whole years from a "YYYY-MM-DD" birthday to today; none without one.
std::optional<int> age_of(const std::string& birthday) {
  int year = 0, month = 0, day = 0;
  if (std::sscanf(birthday.c_str(), "%4d-%2d-%2d", &year, &month, &day) != 3) return std::nullopt;
  std::time_t now = std::time(nullptr);
  std::tm today{};
  localtime_r(&now, &today);
  int age = today.tm_year + 1900 - year;
  if (today.tm_mon + 1 < month || (today.tm_mon + 1 == month && today.tm_mday < day)) --age;
  return age;
}

// The account's entry: "Username", "Domain" and "Nickname" first, then its own fields (one of
// the same name replaces the value in place).
Fields entry_of(const Account& a) {
  const size_t at = a.email.find('@');
  Fields fields = {{"Username", a.email.substr(0, at)},
                   {"Domain", at == std::string::npos ? "" : a.email.substr(at + 1)},
                   {"Nickname", a.nickname}};
  for (const auto& field : a.directory) {
    auto same =
        std::find_if(fields.begin(), fields.end(), [&](const auto& f) { return f.first == field.first; });
    if (same != fields.end()) {
      same->second = field.second;
    } else {
      fields.push_back(field);
    }
  }
  return fields;
}

std::string value_of(const Fields& fields, const std::string& name) {
  auto it = std::find_if(fields.begin(), fields.end(), [&](const auto& f) { return f.first == name; });
  return it == fields.end() ? "" : it->second;
}

}  // namespace

// Items come in pairs: UL kind and an LPS value. The names are in the session's encoding, the
// address parts in 1251; other kinds are skipped. An address is looked up only whole (user and
// domain both), and a request that names nothing finds nothing.
//
// That server counts and pages searches by account, so a new log-in starts neither afresh. Its
// minute opens at a search when none is open (or the open one is over); its page moves on when
// the same query (the same items, as read) comes within 120 s of the last one, and a page past
// the end, found empty, sends the next repeat back to the first.
void Server::Impl::on_directory_request(Session& s, const Packet& p) {
  const detail::Clock::time_point now = detail::Clock::now();
  detail::Searches& searches_here = searches[s.info.email];
  if (behavior.search_limit) {
    if (now - searches_here.window_start >= std::chrono::minutes(1)) {
      searches_here.window_start = now;
      searches_here.in_window = 0;
    }
    if (++searches_here.in_window > kMaxSearchesPerMinute) {
      Writer refused;
      refused.ul(kSearchRateLimited).ul(0).ul(0).ul(uint32_t(std::time(nullptr)));
      return reply(s, p.code, Packet{code::directory_info, p.seq, refused.take()});
    }
  }
  Reader r(p.body);
  Fields wanted;
  bool user = false;
  bool domain = false;
  bool well_formed = true;
  // The advanced keys: an age range, a city (by its name, against the entry's location) and
  // online now (logged in, and not invisible).
  std::optional<int> age_from, age_to;
  bool online_only = false;
  auto age_value = [](const std::string& text) -> std::optional<int> {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    return std::stoi(text);
  };
  while (!r.at_end()) {
    std::optional<uint32_t> kind = r.ul();
    std::optional<std::string> value = kind ? r.lps() : std::nullopt;
    if (!value) {
      well_formed = false;
      break;
    }
    switch (*kind) {
      case search_field::user:
        wanted.emplace_back("Username", cp1251_to_utf8(*value));
        user = true;
        break;
      case search_field::domain:
        wanted.emplace_back("Domain", cp1251_to_utf8(*value));
        domain = true;
        break;
      case search_field::nickname:
        wanted.emplace_back("Nickname", s.in_text(*value));
        break;
      case search_field::first_name:
        wanted.emplace_back("FirstName", s.in_text(*value));
        break;
      case search_field::last_name:
        wanted.emplace_back("LastName", s.in_text(*value));
        break;
      case search_field::city:
        wanted.emplace_back("Location", s.in_text(*value));
        break;
      case search_field::age_from:
        age_from = age_value(*value);
        well_formed = well_formed && age_from.has_value();
        wanted.emplace_back("age>=", *value);
        break;
      case search_field::age_to:
        age_to = age_value(*value);
        well_formed = well_formed && age_to.has_value();
        wanted.emplace_back("age<=", *value);
        break;
      case search_field::online:
        online_only = *value == "1";
        wanted.emplace_back("online", *value);
        break;
      default:
        break;
    }
  }
  std::vector<Fields> rows;
  if (well_formed && !wanted.empty() && user == domain) {
    for (const Account& a : accounts) {
      Fields entry = entry_of(a);
      bool matches = std::all_of(wanted.begin(), wanted.end(), [&](const auto& w) {
        if (w.first == "age>=" || w.first == "age<=" || w.first == "online") return true;
        return clean_utf8(value_of(entry, w.first)) == clean_utf8(w.second);
      });
      std::optional<int> age = age_of(value_of(entry, "Birthday"));
      if ((age_from || age_to) && !age) matches = false;
      if (age_from && age && *age < *age_from) matches = false;
      if (age_to && age && *age > *age_to) matches = false;
      const Session* live = logged_in_session(a.email);
      const uint32_t status = live != nullptr ? presence_of(*live).status : mrim_status::offline;
      if (online_only && (status == mrim_status::offline || status == mrim_status::invisible))
        matches = false;
      // The status as the directory shows it, in hexadecimal; invisible shows as offline.
      char hex[16];
      std::snprintf(hex, sizeof hex, "%x", status == mrim_status::invisible ? mrim_status::offline : status);
      entry.emplace_back("mrim_status", hex);
      if (matches) rows.push_back(std::move(entry));
    }
  }
  if (behavior.search_paging) {
    const bool again = searches_here.query == wanted && now - searches_here.query_at < kSearchPagingWindow;
    const size_t first = again ? searches_here.next_row : 0;
    searches_here.query = wanted;
    searches_here.query_at = now;
    searches_here.next_row = first < rows.size() ? first + kSearchPageRows : 0;
    rows.erase(rows.begin(), rows.begin() + ptrdiff_t(std::min(first, rows.size())));
    if (rows.size() > kSearchPageRows) rows.resize(kSearchPageRows);
  }
  Writer w;
  if (rows.empty()) {
    w.ul(0).ul(0).ul(0).ul(uint32_t(std::time(nullptr)));
  } else {
    // Every field any row has, in the order they first come; a row without one has it empty.
    std::vector<std::string> names;
    for (const Fields& row : rows)
      for (const auto& f : row)
        if (std::find(names.begin(), names.end(), f.first) == names.end()) names.push_back(f.first);
    w.ul(1).ul(uint32_t(names.size())).ul(uint32_t(rows.size())).ul(uint32_t(std::time(nullptr)));
    for (const std::string& name : names) w.lps(name);
    for (const Fields& row : rows) {
      for (const std::string& name : names) {
        const std::string value = value_of(row, name);
        // The results are lost whole (no answer at all) when one value cannot be converted.
        if (!converts(s, value)) return;
        w.lps(kept_in_cp1251(name) ? utf8_to_cp1251(value) : s.out_text(value));
      }
    }
  }
  reply(s, p.code, Packet{code::directory_info, p.seq, w.take()});
}

}  // namespace serversim
