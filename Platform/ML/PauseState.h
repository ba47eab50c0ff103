#pragma once

#include <cstdint>
#include <functional>

#include "ML/Export.h"
#include "zelcore/Guid.h"

// The importers' pause state. While the application's importers need the machine, they set a non-zero pause state,
// and background workers that registered a pause callback (the analyzer host) hold their work until the state is
// back to zero.
//
// Every call to SetPauseState is delivered to every callback registered before it, once, in the order of the calls,
// also when the value does not change; callers keep no count of pauses. A callback registered later hears nothing
// until the next call; it reads the current state with GetPauseState if it needs it.
//
// Thread-safe. Callbacks run without the library's lock held, on the thread that calls SetPauseState, or on a thread
// that is delivering an earlier state at that moment (which then delivers the new state right after; only one
// thread delivers at a time, so the order holds). A callback may register, unregister (itself included) and set the
// state without deadlock. An exception thrown by a callback is logged and the others are still called.
namespace ML {

// 0 means running; any other value means paused.
using PauseState = std::int32_t;
inline constexpr PauseState kPauseStateRunning = 0;
inline constexpr PauseState kPauseStatePaused = 1;

using PauseCallback = std::function<void(PauseState)>;

// Registers `callback` and returns the GUID that unregisters it. Throws std::invalid_argument for an empty callback.
ML_EXPORT zelcore::utility::Guid RegisterPauseCallback(PauseCallback callback);

// Unregisters a callback; an unknown GUID is ignored (returns false). Once this returns, the callback is never called
// again: it waits for a call running on another thread to end, but not for one on the calling thread (a callback
// that unregisters itself). The callback is destroyed before this returns, unless it is running on this thread.
ML_EXPORT bool UnregisterPauseCallback(zelcore::utility::Guid const& registration);

// Sets the pause state and delivers it to the registered callbacks. Returns once they have heard it, unless another
// thread was delivering (or this is called from inside a callback): then that delivery passes it on.
ML_EXPORT void SetPauseState(PauseState state);

// The state of the last SetPauseState call; kPauseStateRunning before the first.
ML_EXPORT PauseState GetPauseState();

}  // namespace ML
