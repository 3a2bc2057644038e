// dispatch.h - the OVw library's message loop: handlers for events, taking the next event for
// this process (sleeping until one is posted) and running its handler.
#ifndef KESTARA_PLATFORM_OVW_DISPATCH_H
#define KESTARA_PLATFORM_OVW_DISPATCH_H

#include "OVw.h"
#include "result.h"

namespace kestara::ovw::library {

// Registers `handler` for `event` (again: it replaces the one before). A filter applies to
// event 18 only.
Status addCallback(int event, const OVwFieldBindList *filter, OVwCallbackProc handler,
                   void *client_data);

// 1 with the next message; 0 (OVW_ERR_NO_SESSION) once the session has ended or when not
// attached. Sleeps until there is an event for this process.
Result<int> getMessage(OVwMessage *message);
// true when `error` is how getMessage() says that no message will come (0 for the caller).
bool endOfMessages(const Error &error);

// Runs the handler of the message last taken by getMessage().
Status dispatchMessage(const OVwMessage *message);

// The descriptor that becomes readable when an event is posted for this process; -1 when not
// attached.
int eventDescriptor();

}  // namespace kestara::ovw::library

#endif  // KESTARA_PLATFORM_OVW_DISPATCH_H
