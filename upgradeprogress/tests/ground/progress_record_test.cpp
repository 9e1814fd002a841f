// The progress record the worker writes and the screen reads: what a stored
// value becomes, that writers really take the lock, and that the rendering
// loop lets a waiting writer in at the end of every iteration.
#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ground.h"

namespace {

class ProgressStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        pthread_mutex_lock(&progressMutex);
        currentProgress = 0;
        errorStatus = 0;
        pthread_mutex_unlock(&progressMutex);
    }
};

struct UpdateCase {
    int startProgress;
    int value;
    int error;
    int wantProgress;
    int wantError;
};

class RequestUpdateCase : public ProgressStateTest,
                          public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(RequestUpdateCase, StoresProgressOrErrorNeverBoth) {
    const UpdateCase& c = GetParam();
    request_update(c.startProgress, 0);
    request_update(c.value, c.error);
    EXPECT_EQ(currentProgress, c.wantProgress);
    EXPECT_EQ(errorStatus, c.wantError);
}

INSTANTIATE_TEST_SUITE_P(
    Values, RequestUpdateCase,
    ::testing::Values(
        // Values are not forced to grow: a later, smaller report wins.
        UpdateCase{90, 50, 0, 50, 0},
        // An error leaves the progress where it was; its value only serves the log.
        UpdateCase{90, 95, 1, 90, 1},
        // Any non-zero error counts, and is kept as given.
        UpdateCase{0, 2, 3, 0, 3},
        // No range check: what the worker says is stored.
        UpdateCase{10, 250, 0, 250, 0}, UpdateCase{10, -4, 0, -4, 0}));

TEST_F(ProgressStateTest, LogsPreviousAndNewValue) {
    request_update(40, 0);
    testing::internal::CaptureStdout();
    request_update(41, 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(
        out.find("request_update(): OTA-UI request_update(): current progress = 40, value = 41, "
                 "error = 0\n"),
        std::string::npos)
        << out;
}

TEST_F(ProgressStateTest, WriterWaitsWhileTheScreenHoldsTheLock) {
    pthread_mutex_lock(&progressMutex);
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        request_update(7, 0);
        returned = true;
    });
    usleep(50 * 1000);
    // Still under the screen's lock: nothing may have been stored yet.
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(currentProgress, 0);
    pthread_mutex_unlock(&progressMutex);
    worker.join();
    EXPECT_EQ(currentProgress, 7);
}

// Two writers at once, one reporting progress in steps, the other errors,
// while a reader samples under the lock as the screen does: the reader never
// sees progress go backwards, and an error never touches the progress.
TEST_F(ProgressStateTest, TwoWritersAndAReaderUnderContention) {
    constexpr int kSteps = 2000;
    std::atomic<bool> stop{false};
    std::atomic<int> backwards{0};
    std::thread reader([&] {
        int last = 0;
        while (!stop) {
            pthread_mutex_lock(&progressMutex);
            if (currentProgress < last) {
                ++backwards;
            }
            last = currentProgress;
            pthread_mutex_unlock(&progressMutex);
        }
    });
    std::thread progress([&] {
        for (int v = 1; v <= kSteps; ++v) {
            request_update(v, 0);
        }
    });
    std::thread errors([&] {
        for (int e = 1; e <= kSteps; ++e) {
            request_update(0, e);
        }
    });
    progress.join();
    errors.join();
    stop = true;
    reader.join();
    EXPECT_EQ(backwards.load(), 0);
    EXPECT_EQ(currentProgress, kSteps);
    EXPECT_EQ(errorStatus, kSteps);
    EXPECT_EQ(waitingProgressUpdates(), 0);
}

// The rendering loop takes the lock again right after dropping it. An update
// that is waiting when an iteration ends must be stored before the next
// iteration starts, every time, not only when the scheduler happens to let the
// writer win.
TEST_F(ProgressStateTest, WaitingUpdateLandsBeforeTheNextIteration) {
    constexpr int kIterations = 150;
    std::atomic<int> running{0};  // number of the iteration in progress
    std::vector<int> seenAtStart(kIterations + 1, -1);
    std::atomic<int> late{0};

    std::thread screen([&] {
        for (int i = 1; i <= kIterations; ++i) {
            beginProgressIteration();
            seenAtStart[i] = currentProgress;
            running = i;
            // The drawing: lasts until the worker's report for this iteration
            // is waiting on the lock (bounded, so a lost report fails instead
            // of hanging).
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (i < kIterations && waitingProgressUpdates() == 0 &&
                   std::chrono::steady_clock::now() < until) {
                usleep(200);
            }
            usleep(1000);
            endProgressIteration();
        }
    });
    std::thread worker([&] {
        for (int i = 1; i < kIterations; ++i) {
            while (running.load() < i) {
                usleep(50);
            }
            request_update(i, 0);
        }
    });
    worker.join();
    screen.join();

    for (int i = 2; i <= kIterations; ++i) {
        if (seenAtStart[i] != i - 1) {
            ++late;
        }
    }
    EXPECT_EQ(late.load(), 0)
        << "iterations that started without the report made during the one before";
}

}  // namespace
