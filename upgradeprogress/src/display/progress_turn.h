// How progressMutex is shared between the rendering loop and the writers.
// The loop holds it for one iteration at a time and takes it again right
// after dropping it; a plain unlock/lock pair would leave the waiting writer's
// chance to the scheduler, and the loop usually wins that race. So the loop
// hands the mutex, at the end of every iteration, to each writer that is
// already waiting: a writer never waits longer than the iteration that was
// running when it asked.
#pragma once

// Rendering loop: takes progressMutex for one iteration.
void beginProgressIteration();

// Rendering loop: lets every waiting writer take its turn, then releases
// progressMutex. Must be called with progressMutex held.
void endProgressIteration();

// Writers: takes progressMutex, at the latest at the end of the iteration
// that is running now. request_update uses it; so may an observer that must
// see a whole picture between two iterations.
void takeProgressTurn();

// Writers: releases progressMutex taken by takeProgressTurn.
void giveBackProgressTurn();

// How many writers have asked for a turn and not yet given it back.
int waitingProgressUpdates();
