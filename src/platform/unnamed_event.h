// Unnamed events, for a thread to wait on another.
#pragma once

namespace zep::platform {

// An unnamed event, initially not signalled. Auto-reset events release one
// waiter per signal; manual-reset events stay signalled until reset.
// The event's handle, or its condition variable. Defined in each back end's file.
struct UnnamedEvent;
using EventHandle = UnnamedEvent*;
EventHandle CreateUnnamedEvent(bool manualReset);
bool SignalEvent(EventHandle event);
bool ResetEvent(EventHandle event);
// Waits without time-out; false when the wait failed.
bool WaitForEvent(EventHandle event);
void CloseEvent(EventHandle event);

}  // namespace zep::platform
