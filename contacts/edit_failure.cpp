// The readable reasons of a failed contact-list request and the tray notice that carries them.
#include "contacts/edit_failure.h"

#include <cstdio>

#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "host/host_api.h"
#include "protocol/wire.h"

namespace {

constexpr UINT kNoticeTimeoutMs = 10000;

const char* refusal_text(uint32_t status) {
  switch (status) {
    case CONTACT_OPER_NO_SUCH_USER:
      return "There is no such user.";
    case CONTACT_OPER_INVALID_INFO:
      return "The server took the name or address for invalid.";
    case CONTACT_OPER_USER_EXISTS:
      return "It is on the list already.";
    case CONTACT_OPER_GROUP_LIMIT:
      return "The list has as many groups as the server allows.";
    case CONTACT_OPER_INTERR:
      return "The server failed inside while making the change.";
    default:
      return "The server refused the change.";
  }
}

const char* edit_verb(ContactEdit edit) {
  switch (edit) {
    case CONTACT_EDIT_ADD:
      return "added to the list";
    case CONTACT_EDIT_DELETE:
      return "deleted";
    case CONTACT_EDIT_ADD_GROUP:
      return "made";
    case CONTACT_EDIT_RENAME_GROUP:
      return "renamed";
    case CONTACT_EDIT_DELETE_GROUP:
      return "deleted";
    default:
      return "changed";
  }
}

}  // namespace

const char* contact_operation_failure_text(MrimRequestResult result, uint32_t status) {
  switch (result) {
    case MRIM_REQUEST_OK:
      return refusal_text(status);
    case MRIM_REQUEST_NO_STATUS:
      return "The server's answer could not be read.";
    case MRIM_REQUEST_NOT_SENT:
      return "The request could not be sent.";
    case MRIM_REQUEST_SESSION_ENDED:
      return "The connection to the server was lost.";
    default:
      return "The server did not answer.";
  }
}

namespace {

void notify(ContactEdit edit, const char* subject, const char* reason, bool known) {
  const char* format = known ? "%.300s was not %s on the server: %s"
                             : "It is not known whether %.300s was %s on the server: %s";
  mrim_log(known ? "%s was not %s on the server: %s\n" : "not known whether %s was %s on the server: %s\n",
           subject, edit_verb(edit), reason);
  if (stop_requested()) return;
  // The tray copies the texts during the call (the host's own balloon keeps no pointer), so
  // the stack holds them. A subject too long for the text is cut; the reason never is: the
  // subject's 300 bytes leave room for the longest wording and reason.
  char text[512];
  snprintf(text, sizeof text, format, subject, edit_verb(edit), reason);
  SystrayNotify notice{};
  notice.size = sizeof notice;
  notice.protocol = protocol_state.module_name;
  notice.title = translate("Contact list");
  notice.text = text;
  notice.info_flags = NIIF_WARNING;
  notice.timeout = kNoticeTimeoutMs;
  call_service(MS_CLIST_SYSTRAY_NOTIFY, 0, reinterpret_cast<LPARAM>(&notice));
}

}  // namespace

void mrim_contact_edit_failed(ContactEdit edit, const char* subject, MrimRequestResult result,
                              uint32_t status) {
  // A refusal, or a request that never left, says the edit was not made. Without a readable
  // answer it may have been: a server whose handler fails after the work answers nothing.
  const bool known = result == MRIM_REQUEST_OK || result == MRIM_REQUEST_NOT_SENT;
  notify(edit, subject, contact_operation_failure_text(result, status), known);
}

void mrim_contact_edit_refused(ContactEdit edit, const char* subject, const char* reason) {
  notify(edit, subject, reason, true);
}
