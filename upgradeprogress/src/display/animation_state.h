// Inside the display room: the screen layout, and a look at the rendering
// thread's own state for whoever must check that thread from outside it.
#pragma once

// The rendering thread's state. Only that thread writes it, and only while it
// holds progressMutex for an iteration.
struct RendererState_T {
    int animationDone;  // 1 once the final screen is drawn; the loop ends on it
    int lastProgress;   // the progress value for which the texts were last drawn
    int frameIndex;     // index in the frame table of the next frame to show
    int finishFrames;   // iterations that have seen progress 100 (never reset)
};

// A copy of that state. Whole and current only for a caller that holds a
// progress turn (takeProgressTurn), that is, between two iterations.
RendererState_T rendererState();

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
