// The fetch queue, its threads and the host's avatar service (see avatars.h). One lock guards
// the queue, the set of contacts seen online in the current session and the fetch slots; it is
// never held across a host call or the network.
#include "services/avatars.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_set>

#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/unix_time.h"
#include "core/worker_threads.h"
#include "protocol/receivers.h"
#include "protocol/server_choice.h"
#include "protocol/session_server.h"
#include "services/avatar_cache.h"
#include "services/avatar_fetch.h"

namespace {

struct Job {
  HANDLE contact;
  bool host_waits;  // the host was told GAIR_WAITFOR: an acknowledgement is owed, whatever comes
  bool force;       // fetch even when the cache is fresh
};

std::mutex queue_mutex;
std::deque<Job> queue;
std::unordered_set<HANDLE> queued;
// Contacts seen online under seen_generation (the session's receiver count): a new session
// starts with an empty set, so each contact is looked at once per session.
std::unordered_set<HANDLE> seen_online;
uint32_t seen_generation = 0;
bool seen_enabled = false;
bool slot_busy[AVATAR_FETCHES_AT_ONCE];
// While the server's list is applied, fetches wait: the list is what the user waits for, and
// on a small machine the fetch threads would take their time from it.
bool held = false;
std::atomic<HANDLE> receiver_slots[AVATAR_FETCHES_AT_ONCE];

bool plain_part(const char* text, size_t length, const char* allowed_marks) {
  if (length == 0) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letter && strchr(allowed_marks, c) == nullptr) return false;
  }
  return true;
}

// Whether any server is named at all, cheaply: the setting, or a reached MRIM server.
bool avatars_enabled() {
  char host[MRIM_HOST_NAME_MAX + 1];
  WORD port = 0;
  return avatars_server(host, sizeof host, &port);
}

// Queues a contact (the caller holds the lock) and says whether a new fetch thread is wanted.
// A host's request goes first and upgrades a job already waiting.
bool enqueue_locked(const Job& job, bool front) {
  if (!queued.insert(job.contact).second) {
    if (!front) return false;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
      if (it->contact != job.contact) continue;
      Job upgraded{job.contact, it->host_waits || job.host_waits, it->force || job.force};
      queue.erase(it);
      queue.push_front(upgraded);
      break;
    }
    return false;
  }
  if (front)
    queue.push_front(job);
  else
    queue.push_back(job);
  if (held) return false;
  for (bool busy : slot_busy)
    if (!busy) return true;
  return false;
}

DWORD WINAPI AvatarFetchThread(LPVOID parameter);

// Starts a fetch thread on a free slot, if there is one.
void start_fetcher() {
  int slot = -1;
  {
    std::lock_guard lock(queue_mutex);
    for (int i = 0; i < AVATAR_FETCHES_AT_ONCE && slot < 0; ++i)
      if (!slot_busy[i]) slot = i;
    if (slot < 0) return;
    slot_busy[slot] = true;
  }
  auto* block = static_cast<int*>(malloc(sizeof(int)));
  if (block != nullptr) *block = slot;
  if (block == nullptr || thread_start_short(AvatarFetchThread, block) != 0) {
    free(block);
    std::lock_guard lock(queue_mutex);
    slot_busy[slot] = false;
  }
}

void enqueue(const Job& job, bool front) {
  bool wanted = false;
  {
    std::lock_guard lock(queue_mutex);
    wanted = enqueue_locked(job, front);
  }
  if (wanted) start_fetcher();
}

void acknowledge(HANDLE contact, int result, int format, const char* path) {
  AvatarInformation information{};
  information.size = sizeof information;
  information.contact = contact;
  information.format = format;
  if (path != nullptr) lstrcpynA(information.filename, path, sizeof information.filename);
  broadcast_ack(protocol_state.module_name, contact, ACKTYPE_AVATAR, result,
                reinterpret_cast<HANDLE>(&information), 0);
}

// The contact's address, or false when it has none.
bool contact_address(HANDLE contact, char* out, size_t out_size) {
  SettingVariant address;
  if (!mrim_read_text_setting(contact, protocol_state.module_name, "EMail", &address)) return false;
  bool fits = strlen(address.text) < out_size;
  if (fits) memcpy(out, address.text, strlen(address.text) + 1);
  free_setting(&address);
  return fits;
}

// Stores what the service answered and tells the host what it needs to hear.
void take_answer(const Job& job, const char* folder, const char* address, const AvatarDownload& download) {
  const char* module = protocol_state.module_name;
  const uint32_t now = unix_time_now();
  int old_format = PA_FORMAT_UNKNOWN;
  char path[MAX_PATH];
  const AvatarCached before = avatar_cache_find(folder, address, &old_format, path, sizeof path);
  if (download.state != HTTP_READ_DONE) {
    mrim_log("avatars: no picture of %s: %s\n", address, download.failure);
    if (job.host_waits) acknowledge(job.contact, ACKRESULT_FAILED, PA_FORMAT_UNKNOWN, nullptr);
    return;
  }
  if (download.reply.kind == HTTP_PICTURE_ABSENT) {
    const bool stored = avatar_cache_store(folder, address, PA_FORMAT_UNKNOWN, nullptr, 0);
    if (stored) write_setting_dword(job.contact, module, "AvatarExpires", now + AVATAR_ABSENT_SECONDS);
    write_setting_dword(job.contact, module, "AvatarHash", 0);
    if (job.host_waits || before == AVATAR_CACHED_PICTURE)
      acknowledge(job.contact, ACKRESULT_FAILED, PA_FORMAT_UNKNOWN, nullptr);
    return;
  }
  const HttpReply& reply = download.reply;
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < reply.body_length; ++i) hash = (hash ^ reply.body[i]) * 16777619u;
  const bool changed = before != AVATAR_CACHED_PICTURE || old_format != reply.format ||
                       get_setting_dword(job.contact, module, "AvatarHash", 0) != hash;
  if (!avatar_cache_store(folder, address, reply.format, reply.body, reply.body_length) ||
      !avatar_cache_path(folder, address, reply.format, path, sizeof path)) {
    mrim_log("avatars: the picture of %s could not be stored\n", address);
    if (job.host_waits) acknowledge(job.contact, ACKRESULT_FAILED, PA_FORMAT_UNKNOWN, nullptr);
    return;
  }
  // A server's age is believed within a day and a month: a hostile or broken one can neither
  // make us ask every minute nor keep a picture for ever.
  uint32_t max_age = reply.max_age == 0 ? AVATAR_DEFAULT_MAX_AGE : reply.max_age;
  if (max_age < 24 * 60 * 60) max_age = 24 * 60 * 60;
  if (max_age > 30 * 24 * 60 * 60) max_age = 30 * 24 * 60 * 60;
  write_setting_dword(job.contact, module, "AvatarHash", hash);
  write_setting_dword(job.contact, module, "AvatarExpires", now + max_age);
  mrim_log("avatars: %s picture of %s, %u bytes\n", changed ? "new" : "unchanged", address,
           static_cast<unsigned>(reply.body_length));
  if (changed || job.host_waits) acknowledge(job.contact, ACKRESULT_SUCCESS, reply.format, path);
}

void run_job(const Job& job, int slot) {
  const char* module = protocol_state.module_name;
  char address[256];
  char folder[MAX_PATH];
  char request_path[300];
  char host[MRIM_HOST_NAME_MAX + 1];
  WORD port = 0;
  if (!mrim_contact_is_ours(job.contact) || !contact_address(job.contact, address, sizeof address)) return;
  const bool usable = avatar_cache_folder(folder, sizeof folder) &&
                      avatars_server(host, sizeof host, &port) &&
                      avatars_request_path(address, request_path, sizeof request_path);
  if (!usable) {
    if (job.host_waits) acknowledge(job.contact, ACKRESULT_FAILED, PA_FORMAT_UNKNOWN, nullptr);
    return;
  }
  int format = PA_FORMAT_UNKNOWN;
  char path[MAX_PATH];
  const AvatarCached cached = avatar_cache_find(folder, address, &format, path, sizeof path);
  if (!job.force && cached != AVATAR_CACHED_NOTHING &&
      unix_time_now() < get_setting_dword(job.contact, module, "AvatarExpires", 0)) {
    if (job.host_waits) {
      if (cached == AVATAR_CACHED_PICTURE)
        acknowledge(job.contact, ACKRESULT_SUCCESS, format, path);
      else
        acknowledge(job.contact, ACKRESULT_FAILED, PA_FORMAT_UNKNOWN, nullptr);
    }
    return;
  }
  AvatarDownload download;
  avatar_fetch(host, port, request_path, &receiver_slots[slot], &download);
  if (!stop_requested()) take_answer(job, folder, address, download);
  avatar_download_free(&download);
}

DWORD WINAPI AvatarFetchThread(LPVOID parameter) {
  const int slot = *static_cast<int*>(parameter);
  free(parameter);
  for (;;) {
    Job job{};
    {
      std::lock_guard lock(queue_mutex);
      if (queue.empty() || stop_requested()) {
        slot_busy[slot] = false;
        return 0;
      }
      job = queue.front();
      queue.pop_front();
      queued.erase(job.contact);
    }
    run_job(job, slot);
  }
}

}  // namespace

void avatars_reset() {
  std::lock_guard lock(queue_mutex);
  queue.clear();
  queued.clear();
  seen_online.clear();
  seen_generation = 0;
  seen_enabled = false;
  held = false;
  for (int i = 0; i < AVATAR_FETCHES_AT_ONCE; ++i) {
    slot_busy[i] = false;
    receiver_slots[i] = nullptr;
  }
}

bool avatars_server(char* host, size_t host_size, WORD* port) {
  SettingVariant setting;
  char chosen[MRIM_HOST_NAME_MAX + 8] = "";
  if (mrim_read_text_setting(nullptr, protocol_state.module_name, "AvatarServer", &setting)) {
    lstrcpynA(chosen, setting.text, sizeof chosen);
    free_setting(&setting);
  }
  if (strcmp(chosen, "off") == 0) return false;
  *port = AVATAR_DEFAULT_PORT;
  if (chosen[0] == '\0') {
    session_server_host(host, host_size);
    return host[0] != '\0';
  }
  // The name goes into the request's head: only a host name's own characters pass.
  char* colon = strchr(chosen, ':');
  if (colon != nullptr) {
    char* end = nullptr;
    unsigned long number = strtoul(colon + 1, &end, 10);
    if (colon[1] == '\0' || *end != '\0' || number == 0 || number > 0xFFFF) return false;
    *port = static_cast<WORD>(number);
    *colon = '\0';
  }
  if (!plain_part(chosen, strlen(chosen), ".-") || strlen(chosen) >= host_size) return false;
  memcpy(host, chosen, strlen(chosen) + 1);
  return true;
}

bool avatars_request_path(const char* address, char* out, size_t out_size) {
  const char* at = strchr(address, '@');
  if (at == nullptr || strchr(at + 1, '@') != nullptr) return false;
  const size_t login_length = static_cast<size_t>(at - address);
  const char* domain = at + 1;
  const char* dot = strchr(domain, '.');
  const size_t label_length = dot != nullptr ? static_cast<size_t>(dot - domain) : strlen(domain);
  // Whatever else an address holds could change the request's meaning or head.
  if (login_length > 64 || label_length > 63 || !plain_part(address, login_length, "._-+") ||
      !plain_part(domain, label_length, "-") || !plain_part(domain, strlen(domain), ".-"))
    return false;
  int length = snprintf(out, out_size, "/%.*s/%.*s/_mrimavatar", static_cast<int>(label_length), domain,
                        static_cast<int>(login_length), address);
  return length > 0 && static_cast<size_t>(length) < out_size;
}

INT_PTR avatars_get_information(WPARAM flags, LPARAM parameter) {
  auto* information = reinterpret_cast<AvatarInformation*>(parameter);
  if (information == nullptr || information->size < static_cast<int>(sizeof(AvatarInformation)))
    return GAIR_NOAVATAR;
  HANDLE contact = information->contact;
  char address[256];
  char folder[MAX_PATH];
  char request_path[300];
  if (contact == nullptr || !mrim_contact_is_ours(contact) || !avatars_enabled() ||
      !contact_address(contact, address, sizeof address) ||
      !avatars_request_path(address, request_path, sizeof request_path) ||
      !avatar_cache_folder(folder, sizeof folder))
    return GAIR_NOAVATAR;
  int format = PA_FORMAT_UNKNOWN;
  char path[MAX_PATH];
  const AvatarCached cached = avatar_cache_find(folder, address, &format, path, sizeof path);
  const bool fresh =
      unix_time_now() < get_setting_dword(contact, protocol_state.module_name, "AvatarExpires", 0);
  const bool force = (flags & GAIF_FORCE) != 0;
  if (cached == AVATAR_CACHED_PICTURE && !force) {
    information->format = format;
    lstrcpynA(information->filename, path, sizeof information->filename);
    // A picture past its age is shown meanwhile; the fetch announces it if it changed.
    if (!fresh) enqueue(Job{contact, false, false}, true);
    return GAIR_SUCCESS;
  }
  if (cached == AVATAR_CACHED_ABSENT && fresh && !force) return GAIR_NOAVATAR;
  enqueue(Job{contact, true, force}, true);
  return GAIR_WAITFOR;
}

void avatars_contact_online(HANDLE contact) {
  const uint32_t generation = receiver_generation();
  bool check_enabled = false;
  {
    std::lock_guard lock(queue_mutex);
    if (generation != seen_generation) check_enabled = true;
  }
  // Read once per session, outside the lock: a change of the setting counts from the next.
  const bool enabled = check_enabled ? avatars_enabled() : false;
  bool wanted = false;
  {
    std::lock_guard lock(queue_mutex);
    if (generation != seen_generation) {
      seen_online.clear();
      seen_generation = generation;
      seen_enabled = enabled;
    }
    if (!seen_enabled || !seen_online.insert(contact).second) return;
    wanted = enqueue_locked(Job{contact, false, false}, false);
  }
  if (wanted) start_fetcher();
}

void avatars_hold(bool hold) {
  size_t waiting = 0;
  {
    std::lock_guard lock(queue_mutex);
    held = hold;
    waiting = queue.size();
  }
  for (size_t i = 0; !hold && i < waiting && i < AVATAR_FETCHES_AT_ONCE; ++i) start_fetcher();
}

void avatars_wake_all() {
  {
    std::lock_guard lock(queue_mutex);
    queue.clear();
    queued.clear();
  }
  for (auto& slot : receiver_slots) receiver_close(receiver_take(slot));
}
