// How the rendering loop holds progressMutex: one iteration at a time, and
// between two iterations it hands the mutex to every request_update that is
// already waiting, so the worker never waits longer than the iteration that
// was running when it asked. A plain unlock/lock pair would leave that to the
// scheduler, and the loop usually wins the race for the mutex it just dropped.
#pragma once

// Takes progressMutex for one iteration of the rendering loop.
void beginProgressIteration();

// Lets every waiting request_update store its value, then releases
// progressMutex. Must be called with progressMutex held.
void endProgressIteration();

// How many request_update calls are announced and not yet stored.
int waitingProgressUpdates();
