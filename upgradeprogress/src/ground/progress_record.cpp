// The progress record shared by the worker (writer) and the rendering thread
// (reader, and the one that clears the error once it is on screen).
#include <atomic>

#include "ground.h"

int currentProgress = 0;
int errorStatus = 0;
pthread_mutex_t progressMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

// Writers that have asked for a turn and not yet given it back. Counted up
// outside the mutex (that is the point: the writer is about to block on it),
// counted down under it.
std::atomic<int> waitingWriters{0};

// Signalled under progressMutex each time a writer gives its turn back.
pthread_cond_t turnGivenBack = PTHREAD_COND_INITIALIZER;

}  // namespace

void takeProgressTurn() {
    // Announced before blocking: the iteration running now sees it at its end
    // and hands the mutex over instead of taking it again.
    waitingWriters.fetch_add(1);
    pthread_mutex_lock(&progressMutex);
}

void giveBackProgressTurn() {
    waitingWriters.fetch_sub(1);
    pthread_cond_broadcast(&turnGivenBack);
    pthread_mutex_unlock(&progressMutex);
}

void beginProgressIteration() {
    pthread_mutex_lock(&progressMutex);
}

void endProgressIteration() {
    // Waiting on the condition releases progressMutex while nobody but the
    // waiting writers wants it, so each of them takes it in turn.
    while (waitingWriters.load() > 0) {
        pthread_cond_wait(&turnGivenBack, &progressMutex);
    }
    pthread_mutex_unlock(&progressMutex);
}

int waitingProgressUpdates() {
    return waitingWriters.load();
}

void request_update(int value, int error) {
    // The progress shown in the log is read without the mutex; it only serves
    // the log, so a relaxed load is enough.
    OTA_LOG("OTA-UI request_update(): current progress = %d, value = %d, error = %d\n",
            __atomic_load_n(&currentProgress, __ATOMIC_RELAXED), value, error);

    takeProgressTurn();
    if (error != 0) {
        errorStatus = error;
    } else {
        __atomic_store_n(&currentProgress, value, __ATOMIC_RELAXED);
    }
    giveBackProgressTurn();
}
