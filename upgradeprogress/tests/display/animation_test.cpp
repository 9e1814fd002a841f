// The rendering thread as the set runs it: frames and fonts at the set's own
// paths, the language from the set's language file, the screen made as main
// makes it, and the worker's reports through request_update. animation()
// ends by restarting the set, so every scenario runs in a child that is the
// first process of its own PID namespace (there the restart only ends that
// namespace) with its own mount namespace for the set's files; the test
// watches from outside and checks the pictures the child saved on the way.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ground.h"
#include "animation_state.h"
#include "display.h"
#include "glyph_layout.h"
#include "screen_support.h"

namespace {

using namespace screen_test;

constexpr uint32_t kPaint = 0xff204080;
constexpr int kRelayedReboot = 128 + SIGHUP;  // how the child reports a restart request
constexpr long kMarkerOffset = 512;

enum class Ending {
    Success,
    Failure,
    MissingFrame,
    // The error arrives in the very iteration that completes the fifty at 100.
    ErrorWhenFinishing,
};

struct Scenario {
    std::string name;
    const char* lang;
    std::vector<int> steps;  // progress values reported one after the other
    Ending ending;
    bool checkHandOver = false;
};

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

long long nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string artifact(const Scenario& s, const std::string& what) {
    return artifactPath(s.name + "-" + what);
}

// ---- inside the child: the set ----------------------------------------------

void fail(const char* what) {
    fprintf(stderr, "scenario child: %s: %s\n", what, strerror(errno));
    _exit(90);
}

// Lays out the set's files in the child's own mount namespace: the frames and
// the first font under /usr/bin/upgradeprogress, the second font and the
// language file under /var/local/upgrade.
void layOutSet(const Scenario& s) {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("private mounts");
    if (mount("tmpfs", "/usr/bin", "tmpfs", MS_NOSUID, "mode=0755,size=1m") != 0)
        fail("tmpfs on /usr/bin");
    if (mkdir("/usr/bin/upgradeprogress", 0755) != 0) fail("program folder");
    if (mkdir("/usr/bin/upgradeprogress/animationImage", 0755) != 0) fail("frame folder");
    for (int n = 1; n <= kFrameCount; ++n) {
        if (s.ending == Ending::MissingFrame && n == 17) continue;
        char link[128];
        snprintf(link, sizeof(link), "%s%02d%s", ota_paths::kFrameDir, n, ota_paths::kFrameSuffix);
        if (symlink(builtFramePath(n).c_str(), link) != 0) fail("frame link");
    }
    if (symlink(OTA_FONT_LATIN_SOURCE, ota_paths::kFontLatin) != 0) fail("first font");
    mkdir("/var/local/upgrade", 0755);
    unlink(ota_paths::kFontOther);
    if (symlink(OTA_FONT_OTHER_SOURCE, ota_paths::kFontOther) != 0) fail("second font");
    FILE* lang = fopen(ota_paths::kLanguageFile, "w");
    if (lang == nullptr) fail("language file");
    fprintf(lang, "%s\n", s.lang);
    fclose(lang);
}

// Keeps a picture for the test outside, as it is in memory: the set may
// restart moments later, so no time goes into encoding here.
void savePicture(const Picture& picture, const Scenario& s, const std::string& name) {
    if (!saveRaw(picture, artifact(s, name + ".argb"))) fail("saving a picture");
}

// Takes a turn on the progress lock once the renderer has shown value. The
// turn is granted between two iterations, so the picture is whole.
void takeTurnWhenShown(int value) {
    for (;;) {
        takeProgressTurn();
        if (rendererState().lastProgress == value) return;
        giveBackProgressTurn();
        usleep(1000);
    }
}

// Takes a turn once the final screen is drawn; the renderer then holds the
// lock no more.
void takeTurnWhenDone() {
    for (;;) {
        takeProgressTurn();
        if (rendererState().animationDone == 1) return;
        giveBackProgressTurn();
        usleep(5000);
    }
}

void runSet(const Scenario& s) {
    layOutSet(s);
    currentLanguage = get_languageID();

    Screen screen;
    startDirectFb();
    createScreen(fontsBank, &screen);
    IDirectFBSurface* primary_sfc = screen.primary;
    IDirectFBSurface* background_sfc = screen.background;

    std::ofstream report(artifact(s, "report.txt"));
    AnimationArgs_T* args =
        new AnimationArgs_T{screen.percent, screen.prompt, primary_sfc, background_sfc};

    if (s.ending == Ending::MissingFrame) {
        // Every buffer of the triple-buffered screen and the off-screen
        // picture get one paint, so any drawing at all would show.
        for (int buffer = 0; buffer < 3; ++buffer) {
            primary_sfc->SetColor(primary_sfc, 0x20, 0x40, 0x80, 0xff);
            primary_sfc->FillRectangle(primary_sfc, 0, 0, 1920, 1080);
            primary_sfc->Flip(primary_sfc, nullptr, DSFLIP_WAITFORSYNC);
        }
        background_sfc->SetColor(background_sfc, 0x20, 0x40, 0x80, 0xff);
        background_sfc->FillRectangle(background_sfc, 0, 0, 1920, 1080);
        pthread_t thread;
        if (pthread_create(&thread, nullptr, animation, args) != 0) fail("thread");
        void* result = reinterpret_cast<void*>(1);
        pthread_join(thread, &result);
        report << "returned " << (result == nullptr ? "null" : "other") << "\n";
        report.close();
        fflush(stdout);
        savePicture(readBack(background_sfc), s, "background");
        savePicture(readBack(primary_sfc), s, "primary");
        _exit(0);
    }

    pthread_t thread;
    if (pthread_create(&thread, nullptr, animation, args) != 0) fail("thread");

    // The first picture: progress 0, frame 02.
    takeTurnWhenShown(0);
    report << "first-frame " << rendererState().frameIndex << "\n";
    savePicture(readBack(background_sfc), s, "progress-0");
    giveBackProgressTurn();

    for (int value : s.steps) {
        request_update(value, 0);
        takeTurnWhenShown(value);
        report << "shown " << value << " frame " << rendererState().frameIndex << "\n";
        savePicture(readBack(background_sfc), s, "progress-" + std::to_string(value));
        if (value == 100 || value == 99)
            report << "finish-frames " << value << " " << rendererState().finishFrames << "\n";
        giveBackProgressTurn();
    }

    if (s.checkHandOver) {
        // A report made while an iteration runs is on the next picture: the
        // renderer never keeps the lock past one iteration while a writer waits.
        int worst = 0;
        for (int round = 0; round < 30; ++round) {
            takeProgressTurn();
            const int before = rendererState().frameIndex % kFrameCount;
            giveBackProgressTurn();
            request_update(60 + round % 2, 0);
            takeTurnWhenShown(60 + round % 2);
            const int advanced =
                (rendererState().frameIndex % kFrameCount - before + kFrameCount) % kFrameCount;
            giveBackProgressTurn();
            worst = std::max(worst, advanced);
        }
        report << "hand-over-worst " << worst << "\n";
    }

    if (s.ending == Ending::ErrorWhenFinishing) {
        // Back at 99 the count of iterations at 100 holds: two more
        // iterations, the count unchanged.
        for (int i = 0; i < 2; ++i) {
            takeProgressTurn();
            if (i == 1) report << "finish-frames-held " << rendererState().finishFrames << "\n";
            giveBackProgressTurn();
            usleep(1000);
        }
        request_update(100, 0);
        // A turn between every two iterations (asked again at once, so it
        // comes at the latest when the running iteration ends) until the
        // fiftieth at 100 has set the finish flag. The error is stored then,
        // under the same turn, as request_update stores it: error and success
        // are both due for the next iteration.
        int seen = 0;
        int before = -1;
        for (;;) {
            takeProgressTurn();
            seen = rendererState().finishFrames;
            if (seen >= kFinishIterations || rendererState().animationDone) break;
            before = seen;
            giveBackProgressTurn();
        }
        report << "finish-frames-before-error " << before << "\n";
        report << "success-drawn-before-error " << rendererState().animationDone << "\n";
        errorStatus = 1;
        giveBackProgressTurn();
    } else if (s.ending == Ending::Success) {
        request_update(100, 0);
    } else {
        request_update(95, 1);
    }
    takeTurnWhenDone();
    // Copied out at once and the turn given back: the renderer's two seconds
    // may already be running.
    const long long seenMs = nowMs();
    Picture finalBackground = readBack(background_sfc);
    Picture finalPrimary = readBack(primary_sfc);
    report << "final-seen-ms " << seenMs << "\n";
    report << "finish-frames-final " << rendererState().finishFrames << "\n";
    report << "error-status-after " << errorStatus << "\n";
    giveBackProgressTurn();
    report.close();
    savePicture(finalBackground, s, "final");
    savePicture(finalPrimary, s, "final-primary");
    fflush(stdout);

    // The renderer restarts the set two seconds after its final picture; that
    // ends this namespace. Anything else is a fault.
    sleep(20);
    _exit(77);
}

// ---- outside: the test --------------------------------------------------------

struct Outcome {
    int status = -1;  // the child's exit code, 128+N for a signal
    long long endedMs = 0;
    std::map<std::string, std::string> report;
    std::string log;
};

bool readMarker(std::string* bytes) {
    int fd = open(ota_paths::kFlagDeviceBlock, O_RDONLY);
    if (fd < 0) return false;
    char buf[16];
    ssize_t n = pread(fd, buf, sizeof(buf), kMarkerOffset);
    close(fd);
    if (n != sizeof(buf)) return false;
    bytes->assign(buf, sizeof(buf));
    return true;
}

bool clearMarker() {
    int fd = open(ota_paths::kFlagDeviceBlock, O_WRONLY);
    if (fd < 0) return false;
    char zeros[16] = {};
    bool ok = pwrite(fd, zeros, sizeof(zeros), kMarkerOffset) == sizeof(zeros) && fsync(fd) == 0;
    close(fd);
    return ok;
}

Outcome runScenario(const Scenario& s) {
    Outcome outcome;
    const std::string logPath = artifact(s, "log.txt");
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        // The middle process: opens the new namespaces, starts their first
        // process and hands its ending on. Without its own PID namespace the
        // renderer must never run.
        if (unshare(CLONE_NEWNS | CLONE_NEWPID) != 0) _exit(92);
        pid_t first = fork();
        if (first == 0) {
            if (getpid() != 1) _exit(93);
            int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (log < 0) _exit(94);
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
            setvbuf(stdout, nullptr, _IOLBF, 0);
            runSet(s);
            _exit(95);
        }
        int status = 0;
        if (first < 0 || waitpid(first, &status, 0) != first) _exit(96);
        _exit(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
    }
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        outcome.status = WEXITSTATUS(status);
    }
    outcome.endedMs = nowMs();

    std::ifstream report(artifact(s, "report.txt"));
    std::string line;
    while (std::getline(report, line)) {
        size_t space = line.find(' ');
        if (space != std::string::npos)
            outcome.report[line.substr(0, space)] += line.substr(space + 1) + ";";
    }
    std::ifstream log(logPath);
    std::stringstream text;
    text << log.rdbuf();
    outcome.log = text.str();
    return outcome;
}

// Reads a picture the child kept and leaves it beside as PNG files: as read
// back, and as the panel shows it.
bool loadPicture(const Scenario& s, const std::string& name, Picture* picture) {
    const std::string raw = artifact(s, name + ".argb");
    if (!loadRaw(raw, picture)) return false;
    unlink(raw.c_str());
    return savePng(*picture, artifact(s, name + ".png")) &&
           savePng(*picture, artifact(s, name + "-as-seen.png"), true);
}

long reportNumber(const Outcome& o, const std::string& key) {
    auto it = o.report.find(key);
    return it == o.report.end() ? -1 : strtol(it->second.c_str(), nullptr, 10);
}

int rowOf(const char* lang) {
    for (int i = 0; i < kLanguageCount; ++i)
        if (strcmp(kMessageTable[i].langCode, lang) == 0) return i;
    return -1;
}

// Checks an in-progress picture: the percentage centred at (960, 581), the
// prompt lines from (350, 631) 38 pixels apart, the frame's own pixels at
// (867, 330), and nothing else.
void expectProgressPicture(const Scenario& s, int value, int frameNumber) {
    SCOPED_TRACE(s.name + " at " + std::to_string(value) + "%, frame " +
                 std::to_string(frameNumber));
    Picture picture;
    ASSERT_TRUE(loadPicture(s, "progress-" + std::to_string(value), &picture));
    const int row = rowOf(s.lang);
    GlyphLayout percent(fontSourceFor(s.lang), 48);
    percent.addLine(std::to_string(value) + "%", 960, 581, true);
    GlyphLayout prompt(fontSourceFor(s.lang), 36);
    prompt.addLines(kMessageTable[row].upgradingText, 350, 631, 38);
    ASSERT_TRUE(percent.ok() && prompt.ok());

    // The texts lie below the frame's square, the percentage above the
    // prompt: each is compared in its own band.
    const Box percentBand{0, kFrameBox.y1, 1920, 590};
    const Box promptBand{0, 590, 1920, 1080};
    ASSERT_GE(percent.box().y0, kFrameBox.y1);
    ASSERT_LE(percent.box().y1, 590);
    ASSERT_GE(prompt.box().y0, 590);

    InkDifference p = compareInk(picture, percent, percentBand);
    EXPECT_GT(p.expected, 100);
    EXPECT_EQ(p.missing, 0);
    EXPECT_EQ(p.extra, 0);
    InkDifference q = compareInk(picture, prompt, promptBand);
    EXPECT_GT(q.expected, 1000);
    EXPECT_EQ(q.missing, 0);
    EXPECT_EQ(q.extra, 0);

    // Above the texts and beside the frame: nothing.
    EXPECT_EQ(countInk(picture, Box{0, 0, 1920, kFrameBox.y0}), 0);
    EXPECT_EQ(countInk(picture, Box{0, kFrameBox.y0, kFrameBox.x0, kFrameBox.y1}), 0);
    EXPECT_EQ(countInk(picture, Box{kFrameBox.x1, kFrameBox.y0, 1920, kFrameBox.y1}), 0);

    // The frame: its own pixels, unblended.
    Picture frame;
    ASSERT_TRUE(loadPng(builtFramePath(frameNumber), &frame));
    long differing = 0;
    for (int y = 0; y < 186; ++y)
        for (int x = 0; x < 186; ++x)
            differing += picture.at(kFrameBox.x0 + x, kFrameBox.y0 + y) != frame.at(x, y);
    EXPECT_EQ(differing, 0);
}

// Checks a final picture: the one text at (780, 522) and nothing else.
void expectFinalPicture(const Scenario& s, const char* name, const char* text) {
    SCOPED_TRACE(s.name + " " + name);
    Picture picture;
    ASSERT_TRUE(loadPicture(s, name, &picture));
    GlyphLayout expected(fontSourceFor(s.lang), 36);
    expected.addLine(text, 780, 522, false);
    InkDifference d = compareInk(picture, expected, kWholeScreen);
    EXPECT_GT(d.expected, 50);
    EXPECT_EQ(d.missing, 0);
    EXPECT_EQ(d.extra, 0);
}

class AnimationRun : public ::testing::TestWithParam<Scenario> {};

TEST_P(AnimationRun, ShowsProgressThenItsEndingThenRestarts) {
    const Scenario& s = GetParam();
    const int row = rowOf(s.lang);
    ASSERT_GE(row, 0);
    ASSERT_TRUE(clearMarker());
    std::string marker;
    ASSERT_TRUE(readMarker(&marker));
    ASSERT_EQ(marker, std::string(16, '\0'));

    Outcome o = runScenario(s);
    EXPECT_EQ(o.status, kRelayedReboot) << o.log;
    EXPECT_NE(o.log.find("language = " + std::string(s.lang) + ", ret = " + std::to_string(row)),
              std::string::npos);
    EXPECT_NE(o.log.find("OTA-UI animation(): progress surface w = 1920, h = 1080\n"),
              std::string::npos);

    // The first picture shows frame 02, then every report in turn.
    EXPECT_EQ(reportNumber(o, "first-frame"), 2);
    expectProgressPicture(s, 0, 2);
    std::istringstream shown(o.report["shown"]);
    for (int value : s.steps) {
        int v = -1, frame = -1;
        std::string word;
        char semi;
        shown >> v >> word >> frame >> semi;
        ASSERT_EQ(v, value);
        expectProgressPicture(s, value, frame);
    }

    if (s.ending == Ending::Success) {
        expectFinalPicture(s, "final", kMessageTable[row].successText);
        expectFinalPicture(s, "final-primary", kMessageTable[row].successText);
        // Fifty iterations at 100, then the success screen.
        EXPECT_EQ(reportNumber(o, "finish-frames-final"), 50);
        EXPECT_EQ(o.log.find("upgrade error!"), std::string::npos);
    } else if (s.ending == Ending::ErrorWhenFinishing) {
        // Progress went 100, 99, 100: the count kept its value at 99 and went
        // on from there; the error came with the fiftieth iteration at 100
        // and still won over the success due next.
        int firstAt100 = -1, shownAt99 = -1, value100 = -1, value99 = -1;
        char semi = 0;
        std::istringstream counts(o.report["finish-frames"]);
        counts >> value100 >> firstAt100 >> semi >> value99 >> shownAt99;
        ASSERT_EQ(value100, 100);
        ASSERT_EQ(value99, 99);
        EXPECT_GE(firstAt100, 1);
        EXPECT_GE(shownAt99, firstAt100);
        EXPECT_EQ(reportNumber(o, "finish-frames-held"), shownAt99);
        EXPECT_GE(reportNumber(o, "finish-frames-before-error"), 1);
        EXPECT_LT(reportNumber(o, "finish-frames-before-error"), 50);
        EXPECT_EQ(reportNumber(o, "finish-frames-final"), 50);
        EXPECT_EQ(reportNumber(o, "success-drawn-before-error"), 0);
        expectFinalPicture(s, "final", kMessageTable[row].failureText);
        EXPECT_NE(o.log.find("OTA-UI animation(): upgrade error!\n"), std::string::npos);
        EXPECT_EQ(reportNumber(o, "error-status-after"), 0);
    } else {
        expectFinalPicture(s, "final", kMessageTable[row].failureText);
        expectFinalPicture(s, "final-primary", kMessageTable[row].failureText);
        EXPECT_NE(o.log.find("OTA-UI animation(): upgrade error!\n"), std::string::npos);
        // The error was taken off the record when it went on screen.
        EXPECT_EQ(reportNumber(o, "error-status-after"), 0);
    }
    EXPECT_NE(o.log.find("():  OTA-UI animation() 110: thread exit.\n"), std::string::npos);

    // The final picture stays up two seconds before the restart. It was drawn
    // at the latest a few milliseconds before the child first saw it.
    const long long shownFor = o.endedMs - reportNumber(o, "final-seen-ms");
    EXPECT_GE(shownFor, 1950);
    EXPECT_LT(shownFor, 15000);

    // The reboot marker is on the boot-flag partition.
    ASSERT_TRUE(readMarker(&marker));
    EXPECT_NE(marker, std::string(16, '\0'));

    if (s.checkHandOver) {
        // Normally one or two iterations pass between the two turns (the
        // report lands at the end of the running one, the picture with it is
        // the next); one more allows for a stalled test thread. A renderer
        // that keeps the lock while a writer waits lets dozens pass.
        EXPECT_GE(reportNumber(o, "hand-over-worst"), 1);
        EXPECT_LE(reportNumber(o, "hand-over-worst"), 3);
    }
}

std::vector<Scenario> scenarios() {
    std::vector<Scenario> all;
    for (const char* lang : {"eng", "chi", "rus", "vie", "ger"}) {
        std::string success = std::string(lang) + "-success";
        std::string failure = std::string(lang) + "-failure";
        all.push_back(
            Scenario{success, lang, {2, 37, 95}, Ending::Success, strcmp(lang, "eng") == 0});
        all.push_back(Scenario{failure, lang, {40}, Ending::Failure});
    }
    all.push_back(Scenario{"eng-late-error", "eng", {100, 99}, Ending::ErrorWhenFinishing});
    return all;
}

INSTANTIATE_TEST_SUITE_P(Languages, AnimationRun, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

// With one frame missing nothing may be drawn: the thread logs why and
// returns, frames are all loaded before the first picture, and there is no
// restart from the renderer.
TEST(AnimationMissingFrame, LogsReturnsAndDrawsNothing) {
    Scenario s{"missing-frame", "eng", {}, Ending::MissingFrame};
    ASSERT_TRUE(clearMarker());
    Outcome o = runScenario(s);
    EXPECT_EQ(o.status, 0) << o.log;
    EXPECT_EQ(o.report["returned"], "null;");
    EXPECT_NE(
        o.log.find(
            "doLoadImg(): file /usr/bin/upgradeprogress/animationImage/17.png does not exist.\n"),
        std::string::npos)
        << o.log;
    EXPECT_NE(o.log.find("animation(): OTA-UI ERROR(): ERROR!\n"), std::string::npos) << o.log;
    EXPECT_EQ(o.log.find("18.png"), std::string::npos);
    for (const char* name : {"background", "primary"}) {
        Picture picture;
        ASSERT_TRUE(loadPicture(s, name, &picture));
        EXPECT_EQ(countOther(picture, kWholeScreen, kPaint), 0) << name;
    }
    std::string marker;
    ASSERT_TRUE(readMarker(&marker));
    EXPECT_EQ(marker, std::string(16, '\0'));
}

}  // namespace
