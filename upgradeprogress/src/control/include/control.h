// Upgrade control, the top floor: the worker that drives one upgrade from the
// package check to the committed flags, and its failure ending. main (the
// entry) stands beside it and starts the screen and the worker.
#pragma once

void* refreshBlock(void* arg);
void clearFlags(int value);
void clearFiles();
