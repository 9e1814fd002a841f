// The rendering thread's own state. Only that thread writes it, and only while
// it holds progressMutex for an iteration; an observer that takes a turn on
// the mutex (progress_turn.h) may read it.
#pragma once

// 1 once the final screen is drawn; the loop ends on it.
extern int animationDone;
// The progress value for which the texts were last drawn.
extern int lastProgress;
// Index in the frame table of the next frame to show.
extern int frameIndex;
// Iterations that have seen progress 100 (never reset).
extern int finishFrames;

// The screen layout, in pixels of the 1920 x 1080 picture.
constexpr int kFrameCount = 48;
constexpr int kFrameX = 867;
constexpr int kFrameY = 330;
constexpr int kPercentX = 960;
constexpr int kPercentY = 581;
constexpr int kPromptX = 350;
constexpr int kPromptY = 631;
constexpr int kPromptLineStep = 38;
constexpr int kResultX = 780;
constexpr int kResultY = 522;
// Iterations shown at 100 % before the success screen.
constexpr int kFinishIterations = 50;
