// Telling the user that a change of the server's contact list did not happen, and why. The
// host's list edits (rename, move, visibility, delete, add, a new group) carry no
// acknowledgement of their own, so without a word from the plug-in a refused edit passes
// unseen and the host's list shows what the server does not have.
#pragma once

#include <cstdint>

#include "protocol/request.h"

// What was asked of the server; it decides the notice's wording.
enum ContactEdit : int {
  CONTACT_EDIT_CHANGE,     // rename, move or visibility of a contact
  CONTACT_EDIT_ADD,        // a contact onto the list
  CONTACT_EDIT_DELETE,     // a contact off the list (the host's list has dropped it already)
  CONTACT_EDIT_ADD_GROUP,  // a new group; the subject is its name
  CONTACT_EDIT_RENAME_GROUP,
  CONTACT_EDIT_DELETE_GROUP,
};

// The reason, in words, for a request's result other than a reply with CONTACT_OPER_SUCCESS
// (status is the reply's when result is MRIM_REQUEST_OK). Static texts.
const char* contact_operation_failure_text(MrimRequestResult result, uint32_t status);

// Logs the failure and shows it in the host's tray, as a warning from this account: "<subject>
// was not <changed|added|...> on the server: <reason>", or, when no answer says whether it
// was (none came, or none could be read), "It is not known whether <subject> was ...".
// Nothing is shown once Unload has begun.
void mrim_contact_edit_failed(ContactEdit edit, const char* subject, MrimRequestResult result,
                              uint32_t status);
// The same for an edit the plug-in did not ask for, with its own reason (a static text).
void mrim_contact_edit_refused(ContactEdit edit, const char* subject, const char* reason);
