// The request dispatcher of the web service: for every parsed request it
// refuses foreign sites and other users, answers the static paths itself
// (resource store pages, contact photos, attachment pictures) and hands
// `_object`/`_action` requests to the handler factories of the route table.
//
// No state of its own: every request runs on its own connection thread with
// its own resource-store and database connections; handlers lock what they
// share. Failures are logged through gLog.
#ifndef PV_APP_WEB_REQUESTDISPATCH_H
#define PV_APP_WEB_REQUESTDISPATCH_H

#include "core/khttpconnection.h"

// Builds a handler for one request, runs its action and sends the answer.
// Always 1.
typedef int (*ObjectFactory)(koHttpConnection* connection, int argument);

struct ObjectFactoryRow {
  const char* name;       // compared with `_object` byte for byte; null ends the table
  ObjectFactory factory;  // null while the row's handler is not part of the program
};

// The route table. Row 0 also serves requests without `_object`. A row
// without a factory answers as an unknown object does.
extern const ObjectFactoryRow ObjectFactoryTable[];

// Answers one parsed request on its connection; the caller closes the
// connection afterwards. `argument` goes to the handler; `unused` is not
// read. Always 1.
int DispatchRequest(koHttpConnection* connection, int argument, int unused);

#endif  // PV_APP_WEB_REQUESTDISPATCH_H
