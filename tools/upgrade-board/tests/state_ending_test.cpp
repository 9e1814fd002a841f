// The ending a crash state is counted under: a false success must never be
// counted as anything else, and a loss no program can see only when the
// device did it after the success flags were on its medium.
#include <gtest/gtest.h>

#include "state_ending.h"

namespace {

using board::EndingFacts;
using board::Fault;
using board::StateEnding;

// A set whose flags say success while usrfs lacks its new image.
EndingFacts flagsWithoutImage(Fault fault, bool committedAtCut) {
    EndingFacts f;
    f.fault = fault;
    f.committedAtCut = committedAtCut;
    f.problems = "usrfs lacks its new image";
    f.successFlags = true;
    f.imageProblems = "usrfs lacks its new image";
    f.recordReadable = true;
    f.record = "upgraded";
    return f;
}

TEST(StateEndings, SuccessFlagsOverAWrongPartition) {
    // The device lost or damaged data after the flags were on its medium.
    for (Fault fault : {Fault::Reordered, Fault::Neighbour}) {
        board::Outcome o = board::decideEnding(flagsWithoutImage(fault, true));
        EXPECT_EQ(o.ending, StateEnding::LostAfterCommit) << board::faultName(fault);
        EXPECT_EQ(o.reason, "usrfs lacks its new image");
        // Before the flags were on the medium, the program had to see it.
        EXPECT_EQ(board::decideEnding(flagsWithoutImage(fault, false)).ending,
                  StateEnding::FalseSuccess)
            << board::faultName(fault);
    }
    // A cache that loses or tears unflushed writes never excuses flags over
    // a wrong image: the program must flush before it sets them.
    for (Fault fault : {Fault::Flush, Fault::Cached, Fault::Torn, Fault::Flipped, Fault::Twice}) {
        for (bool committed : {false, true}) {
            EXPECT_EQ(board::decideEnding(flagsWithoutImage(fault, committed)).ending,
                      StateEnding::FalseSuccess)
                << board::faultName(fault) << (committed ? " committed" : "");
        }
    }
}

TEST(StateEndings, UpgradedAndRefusedOrFailedWithTheirReasons) {
    EndingFacts upgraded;
    EXPECT_EQ(board::decideEnding(upgraded).ending, StateEnding::Upgraded);

    EndingFacts failed;
    failed.problems =
        "usrfs lacks its new image; success flags not set (bytes 4 5 7 8: 55 00 55 00)";
    failed.imageProblems = "usrfs lacks its new image";
    failed.recordReadable = true;
    failed.record = "failed: the part cannot be rebuilt (mmcblk0p26)";
    board::Outcome o = board::decideEnding(failed);
    EXPECT_EQ(o.ending, StateEnding::RefusedOrFailed);
    EXPECT_EQ(o.reason, "failure ending, failed: the part cannot be rebuilt (mmcblk0p26)");

    failed.pending = true;
    o = board::decideEnding(failed);
    EXPECT_EQ(o.ending, StateEnding::RefusedOrFailed);
    EXPECT_EQ(o.reason.rfind("still pending after 3 starts", 0), 0u) << o.reason;

    failed.recordReadable = false;
    EXPECT_EQ(board::decideEnding(failed).reason, "/var/local unmountable");

    EndingFacts mount;
    mount.problems = "boot 1 ended: runner failed (guest init failed: mount /OAD)";
    o = board::decideEnding(mount);
    EXPECT_EQ(o.ending, StateEnding::RefusedOrFailed);
    EXPECT_EQ(o.reason, "/OAD unmountable");

    EndingFacts committedButUnreadable = flagsWithoutImage(Fault::Neighbour, true);
    committedButUnreadable.imageProblems.clear();
    committedButUnreadable.problems = "/OAD cannot be read: mount failed";
    EXPECT_EQ(board::decideEnding(committedButUnreadable).ending, StateEnding::RefusedOrFailed);

    EndingFacts refusedPatch;
    refusedPatch.problems = "boot 2 ended: exit status 1";
    EXPECT_EQ(board::decideEnding(refusedPatch).ending, StateEnding::RefusedOrFailed);
}

TEST(StateEndings, WhatNoDesignAllowsIsNeverCountedAsAnEnding) {
    for (const char* problems :
         {"boot 1 ended: killed by signal 11", "boot 3 ended: timed out after 900 s",
          "boot 1 ended: exit status 12", "runner failed (cannot write disk.img)",
          "the recorded restart ended: killed by signal 6"}) {
        EndingFacts f;
        f.problems = problems;
        f.recordReadable = true;
        EXPECT_EQ(board::decideEnding(f).ending, StateEnding::Other) << problems;
    }
    // Flags and images right, yet the program left its work behind.
    EndingFacts dirty;
    dirty.successFlags = true;
    dirty.problems = "/OAD not clean after the program's end: patch_package.zip";
    EXPECT_EQ(board::decideEnding(dirty).ending, StateEnding::Other);
}

}  // namespace
