// Reacting to the world at once: resume from sleep and network changes trigger an immediate
// re-check of the session.
#pragma once

#include <cstdint>

#include "core/timings.h"

// Each time a request has ended and connState is back to 0; `networkFailure` for an error, a
// time-out or an empty reply.
void WorldRequestEnded(bool networkFailure);
// Timer kTimerWorld.
void OnWorldTimer();
// Timer kTimerWorldHeld: the check that events held back by their rate are owed.
void OnWorldHeldTimer();
// Asks the platform for address-list notifications; without them the agent runs as before.
void StartWorldWatch();
