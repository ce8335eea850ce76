// bootsim as the device, driven by a scripted host on the real serial component over a
// pseudo-terminal: reset, the write of a whole image, refused frames, the configuration and
// information answers, reopening the port, the faults, --once, pacing and the summary line.
//
// The host builds its frames itself, so a fault in bootsim's frame reader cannot hide behind a
// shared builder.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "FrameSupport.h"
#include "MainThreadQueue.h"
#include "Process.h"
#include "PtySupport.h"
#include "Serial.h"
#include "SerialTestSupport.h"
#include "TestFiles.h"

using namespace testing_support;
using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

namespace {

constexpr std::string_view kKey = "Q7M!_X295836H4F_Z8W";
constexpr std::string_view kInfo = "SIM 1.0 Konfiguration ";
constexpr std::size_t kBlock = 4096;
constexpr std::size_t kFrame = 3073;
constexpr auto kAnswerTime = 5s;    // for a byte that has to come
constexpr auto kQuietTime = 300ms;  // silence this long counts as no answer

// Where a spoiled frame has a bit flipped, by attempt: payload bytes and the check byte.
constexpr std::size_t kSpoilAt[] = {17, 3072, 1500, 2999};

std::string Frame(const std::vector<std::uint8_t>& image, int k, std::string_view key) {
    return BlockFrame(image.data() + static_cast<std::size_t>(k) * kBlock, key);
}

std::string Bytes(std::initializer_list<std::uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}

std::string Hex(std::string_view bytes) {
    std::ostringstream s;
    s << std::hex;
    for (const char c : bytes) s << " 0x" << +static_cast<std::uint8_t>(c);
    return s.str();
}

struct TSummary {
    int blocks = -1, refused = -1;
    double writeS = 0, medianMs = 0, p99Ms = 0, linePercent = 0;
};

// The one summary line on stderr, checked for its exact form.
std::optional<TSummary> ParseSummary(const std::string& err) {
    static const std::regex kLine(
        R"(bootsim: blocks (\d+), refused (\d+), write (\d+\.\d\d) s, )"
        R"(turnaround median (\d+\.\d\d) ms p99 (\d+\.\d\d) ms, line (\d+\.\d) %)");
    std::istringstream in(err);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("bootsim: blocks")) lines.push_back(line);
    std::smatch m;
    if (lines.size() != 1 || !std::regex_match(lines[0], m, kLine)) {
        ADD_FAILURE() << "expected one summary line, stderr was:\n" << err;
        return std::nullopt;
    }
    TSummary s;
    s.blocks = std::stoi(m[1]);
    s.refused = std::stoi(m[2]);
    s.writeS = std::stod(m[3]);
    s.medianMs = std::stod(m[4]);
    s.p99Ms = std::stod(m[5]);
    s.linePercent = std::stod(m[6]);
    return s;
}

// The host's side of the line: the window's component on COM1, taking every received byte
// into a buffer on its event thread.
class THost : public rt::TObject {
public:
    THost() : ser(NewWindowSerial()), FSerial(ser.get()) { ser->SetOnRxChar({this, &THost::Rx}); }
    // The component goes first: its event thread uses the buffer until it ends.
    ~THost() override { ser.reset(); }

    // Waits for the next byte; none when nothing came in time. Runs the main thread's queue
    // meanwhile, which carries the port removals.
    std::optional<std::uint8_t> Next(rt::TManualMainThreadQueue& queue,
                                     std::chrono::milliseconds timeout) {
        const auto deadline = TClock::now() + timeout;
        for (;;) {
            queue.ProcessPending();
            std::unique_lock lock(FMutex);
            if (FArrived.wait_until(lock, std::min(deadline, TClock::now() + 5ms),
                                    [this] { return FPos < FBytes.size(); }))
                return static_cast<std::uint8_t>(FBytes[FPos++]);
            if (TClock::now() >= deadline) return std::nullopt;
        }
    }

    std::unique_ptr<TSerial> ser;

private:
    void Rx(rt::TObject*) {
        char buf[4096];
        for (std::int32_t n; (n = FSerial->InQueueCount()) > 0;) {
            n = FSerial->ReceiveData(
                buf, static_cast<std::uint32_t>(std::min<std::int32_t>(n, sizeof buf)));
            if (n <= 0) break;
            std::lock_guard lock(FMutex);
            FBytes.append(buf, static_cast<std::size_t>(n));
            FArrived.notify_all();
        }
    }

    TSerial* const FSerial;  // still valid while the component's destruction waits for this thread
    std::mutex FMutex;
    std::condition_variable FArrived;
    std::string FBytes;  // all received, FPos the next unread
    std::size_t FPos = 0;
};

// How the host answers the requests of a write.
struct TScript {
    std::map<int, int> spoiled;                   // block -> how many bad frames before a good one
    std::function<void(int block)> beforeAnswer;  // runs between a request and its frame
    std::string key{kKey};                        // enciphers the frames
    // The write ends when the device says nothing this long.
    std::chrono::milliseconds silence = 3s;
};

struct TWriteLog {
    std::vector<int> requests;       // the blocks requested, in order
    std::vector<std::string> noise;  // per request, the other bytes that came before it
    std::string trailing;            // bytes after the last request that were no end code
    bool ended = false;              // 0x81 came
    double seconds = 0;              // from sending 0xA1 to receiving 0x81
};

class Bootsim : public testing::Test {
protected:
    void SetUp() override {
        rt::InstallMainThreadQueue(&queue);
        manager = std::make_unique<TCOMManagerInstance>();
    }
    void TearDown() override {
        host.reset();
        sim.reset();
        manager.reset();
        queue.ProcessPending();
        rt::InstallMainThreadQueue(nullptr);
    }

    std::string Link() const { return dir.File("com1"); }
    bool Linked() const { return std::filesystem::is_symlink(Link()); }

    // Starts bootsim with its link as COM1 and opens the host on it.
    bool Start(std::vector<std::string> args) {
        host.reset();
        args.insert(args.begin(), {BOOTSIM_PATH, "--link", Link()});
        sim = std::make_unique<TChildProcess>(args);
        if (!sim->Started()) {
            ADD_FAILURE() << "cannot start " << BOOTSIM_PATH;
            return false;
        }
        const auto path = sim->FirstLine(kAnswerTime);
        if (!path) {
            ADD_FAILURE() << "no terminal path on stdout; stderr: " << sim->Err();
            return false;
        }
        if (!Eventually([&] { return Linked(); }) ||
            std::filesystem::read_symlink(Link()) != *path) {
            ADD_FAILURE() << "no link " << Link() << " to " << *path;
            return false;
        }
        COMManager->ScanPorts(4);
        COMManager->RescanPorts();  // a later start in the same test has a new terminal
        host = std::make_unique<THost>();
        host->ser->SetCOMPort(1);
        if (!host->ser->OpenPort()) {
            ADD_FAILURE() << "the host cannot open COM1 on " << *path;
            return false;
        }
        return true;
    }

    // Ends bootsim with a signal: status 0, the link gone, one summary line.
    std::optional<TSummary> Stop(int sig) {
        host.reset();
        sim->Signal(sig);
        const auto status = sim->Wait(kAnswerTime);
        EXPECT_EQ(status, std::optional<int>(0)) << sim->Err();
        EXPECT_FALSE(Linked()) << "the link outlives bootsim";
        return ParseSummary(sim->Err());
    }

    std::optional<std::uint8_t> Next(std::chrono::milliseconds timeout = kAnswerTime) {
        return host->Next(queue, timeout);
    }
    // n bytes, or fewer when they do not come in time.
    std::string Take(std::size_t n) {
        std::string got;
        for (std::optional<std::uint8_t> b; got.size() < n && (b = Next());)
            got += static_cast<char>(*b);
        return got;
    }
    // Up to LF, or what came before the time was up.
    std::string TakeLine() {
        std::string got;
        for (std::optional<std::uint8_t> b; !got.ends_with('\n') && (b = Next());)
            got += static_cast<char>(*b);
        return got;
    }
    // True when nothing arrives for a while.
    bool Quiet() { return !Next(kQuietTime); }

    void Send(std::string_view bytes) {
        EXPECT_EQ(host->ser->SendData(bytes.data(), static_cast<std::int32_t>(bytes.size())),
                  static_cast<std::int32_t>(bytes.size()));
    }
    // The command prefix, then the text and CR in one write. The window pauses between the two;
    // the device must not depend on it.
    void Command(const std::string& text) {
        Send("\xFE");
        Send(text + "\r");
    }
    // The reset request, one byte per write as the window sends it.
    void Reset() {
        for (const char c : std::string("\xFERESET\r")) Send(std::string_view(&c, 1));
    }
    std::string Configure(const std::string& digits) {
        Command("FW_CFG_" + digits);
        return Take(3);
    }
    std::string Info() {
        Command("FW_VER_");
        return TakeLine();
    }
    // Reset, start answer, menu.
    bool EnterMenu() {
        Reset();
        if (Next() != 0xFF) return false;
        Send("\x55");
        return Next() == 0xFE;
    }

    TWriteLog Write(const std::vector<std::uint8_t>& image, const TScript& script = {}) {
        TWriteLog log;
        std::map<int, int> attempts;
        std::string pending;
        const auto start = TClock::now();
        Send("\xA1");
        while (const auto b = Next(script.silence)) {
            if (*b == 0x81) {
                log.seconds = std::chrono::duration<double>(TClock::now() - start).count();
                log.ended = true;
                break;
            }
            if (*b <= 130) {
                pending += static_cast<char>(*b);
                continue;
            }
            const int k = 255 - *b;
            log.requests.push_back(k);
            log.noise.push_back(std::move(pending));
            pending.clear();
            if ((static_cast<std::size_t>(k) + 1) * kBlock > image.size()) {
                ADD_FAILURE() << "request for block " << k << " beyond the image";
                break;
            }
            if (script.beforeAnswer) script.beforeAnswer(k);
            std::string frame = Frame(image, k, script.key);
            const int attempt = attempts[k]++;
            if (const auto it = script.spoiled.find(k);
                it != script.spoiled.end() && attempt < it->second)
                frame[kSpoilAt[attempt % std::size(kSpoilAt)]] ^= 0x01;
            Send(frame);
        }
        log.trailing = pending;
        return log;
    }

    bool Eventually(const std::function<bool()>& done) {
        return queue.ProcessUntil(done, kAnswerTime);
    }

    rt::TManualMainThreadQueue queue;
    TPortDir dir;
    TTempDir files;
    std::unique_ptr<TCOMManagerInstance> manager;
    std::unique_ptr<TChildProcess> sim;
    std::unique_ptr<THost> host;
};

std::vector<int> Sequence(int from, int to) {
    std::vector<int> v;
    for (int k = from; k < to; ++k) v.push_back(k);
    return v;
}

TEST_F(Bootsim, UsageErrorsAndHelp) {
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},
        {"--blocks"},
        {"--blocks", "many"},
        {"--start-wait", "soon"},
        {"--pace", "fast"},
        {"--fault", "melt"},
        {"--fault", "silent-after=x"},
    };
    for (auto args : bad) {
        const std::string what = args[0] + (args.size() > 1 ? " " + args[1] : "");
        args.insert(args.begin(), BOOTSIM_PATH);
        TChildProcess p(args);
        EXPECT_EQ(p.Wait(kAnswerTime), std::optional<int>(2)) << what;
        EXPECT_NE(p.Err(), "") << what << ": no message";
        EXPECT_FALSE(p.FirstLine(0ms)) << what << ": a terminal was offered";
    }
    TChildProcess help({BOOTSIM_PATH, "--help"});
    ASSERT_EQ(help.Wait(kAnswerTime), std::optional<int>(0));
    const std::string text = help.Out() + help.Err();
    for (const char* option : {"--link", "--blocks", "--once", "--pace", "--fault"})
        EXPECT_NE(text.find(option), std::string::npos) << "--help does not name " << option;
}

TEST_F(Bootsim, ResetWithAndWithoutTheStartAnswer) {
    const struct {
        bool answer;
        std::uint8_t then;
    } cases[] = {{true, 0xFE}, {false, 0x80}};
    constexpr int kStartWaitMs = 150;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer ? "answered" : "not answered");
        ASSERT_TRUE(Start({"--start-wait", std::to_string(kStartWaitMs)}));
        Reset();
        ASSERT_EQ(Next(), 0xFF);
        const auto asked = TClock::now();
        if (c.answer) Send("\x55");
        EXPECT_EQ(Next(), c.then);
        if (!c.answer) {
            EXPECT_GE(TClock::now() - asked, std::chrono::milliseconds(kStartWaitMs - 10))
                << "gave up before the start wait";
            // Back in the application state: text commands are answered.
            EXPECT_EQ(Info(), std::string(kInfo) + "000\r\n");
        }
        EXPECT_TRUE(Quiet());
        Stop(SIGTERM);
    }
}

TEST_F(Bootsim, MenuIgnoresReadAndSingleBlockCommandsAndTakesTextCommands) {
    ASSERT_TRUE(Start({"--blocks", "2"}));
    ASSERT_TRUE(EnterMenu());
    // 0xA3 and 0xA4 take the next byte as their block: these two 0xA1 start nothing.
    Send(Bytes({0xA3, 0xA1, 0xA2, 0xA4, 0xA1}));
    EXPECT_TRUE(Quiet()) << "the device answered an ignored menu command";
    EXPECT_EQ(Info(), std::string(kInfo) + "000\r\n");
    ASSERT_TRUE(EnterMenu());
    Send("\xA1");
    EXPECT_EQ(Next(), 0xFF) << "the write did not start with block 0";
}

TEST_F(Bootsim, CompleteWriteArrivesByteForByte) {
    constexpr int kBlocks = 8;
    const auto image = RandomBytes(kBlocks * kBlock, 501);
    const std::string out = files.File("image.bin");
    ASSERT_TRUE(Start({"--blocks", std::to_string(kBlocks), "--out", out}));
    ASSERT_TRUE(EnterMenu());
    const TWriteLog log = Write(image);
    EXPECT_TRUE(log.ended);
    EXPECT_EQ(log.requests, Sequence(0, kBlocks));
    EXPECT_EQ(log.noise, std::vector<std::string>(kBlocks));
    EXPECT_EQ(log.trailing, "");
    const auto expected = DeviceWords(image);
    EXPECT_TRUE(Eventually([&] { return ReadFile(out) == expected; }))
        << "--out holds " << ReadFile(out).size() << " bytes, not the " << expected.size()
        << " received";
    // The window's next step: the configuration.
    EXPECT_EQ(Configure("101"), Bytes({0x0B, 0x0C, 0x0F}));
    const auto summary = Stop(SIGINT);
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->blocks, kBlocks);
    EXPECT_EQ(summary->refused, 0);
    EXPECT_LE(summary->medianMs, summary->p99Ms);
}

TEST_F(Bootsim, RefusedFramesAreRequestedAgainAtMostThreeTimes) {
    constexpr int kBlocks = 6;
    const auto image = RandomBytes(kBlocks * kBlock, 502);
    const struct {
        int block, bad;
        std::vector<int> requests;
        bool ended;
    } cases[] = {
        {2, 1, {0, 1, 2, 2, 3, 4, 5}, true},
        {0, 2, {0, 0, 0, 1, 2, 3, 4, 5}, true},
        {5, 3, {0, 1, 2, 3, 4, 5, 5, 5, 5}, true},
        {3, 4, {0, 1, 2, 3, 3, 3, 3}, false},  // four bad frames: the device gives up
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bad << " bad frames of block " << c.block);
        const std::string out = files.File("out" + std::to_string(c.block));
        ASSERT_TRUE(Start({"--blocks", std::to_string(kBlocks), "--out", out}));
        ASSERT_TRUE(EnterMenu());
        TScript script;
        script.spoiled[c.block] = c.bad;
        script.silence = 500ms;
        const TWriteLog log = Write(image, script);
        EXPECT_EQ(log.requests, c.requests);
        EXPECT_EQ(log.ended, c.ended);
        if (c.ended) {
            EXPECT_EQ(log.trailing, "");
            EXPECT_TRUE(Eventually([&] { return ReadFile(out) == DeviceWords(image); }));
        } else {
            EXPECT_EQ(log.trailing, "\x80");
            EXPECT_FALSE(std::filesystem::exists(out)) << "an incomplete write was saved";
            EXPECT_EQ(Info(), std::string(kInfo) + "000\r\n")
                << "not back in the application state";
        }
        const auto summary = Stop(SIGTERM);
        ASSERT_TRUE(summary);
        EXPECT_EQ(summary->blocks, c.ended ? kBlocks : c.block);
        EXPECT_EQ(summary->refused, c.bad);
    }
}

TEST_F(Bootsim, ConfigurationAnswers) {
    const struct {
        const char* digits;
        std::string answers;
    } cases[] = {
        {"000", Bytes({0x0A, 0x0C, 0x0E})}, {"100", Bytes({0x0B, 0x0C, 0x0E})},
        {"010", Bytes({0x0A, 0x0D, 0x0E})}, {"001", Bytes({0x0A, 0x0C, 0x0F})},
        {"111", Bytes({0x0B, 0x0D, 0x0F})},
    };
    ASSERT_TRUE(Start({}));
    for (const auto& c : cases) {
        EXPECT_EQ(Hex(Configure(c.digits)), Hex(c.answers)) << c.digits;
        EXPECT_TRUE(Quiet()) << c.digits << ": more than three answers";
    }
}

TEST_F(Bootsim, InformationTextCarriesTheStoredDigits) {
    const struct {
        std::vector<std::string> args;
        std::string text;
    } cases[] = {{{}, std::string(kInfo)}, {{"--info", "Werkbank 7 "}, "Werkbank 7 "}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_TRUE(Start(c.args));
        EXPECT_EQ(Info(), c.text + "000\r\n");
        EXPECT_EQ(Configure("110").size(), 3u);
        EXPECT_EQ(Info(), c.text + "110\r\n");
        EXPECT_EQ(Configure("011").size(), 3u);
        EXPECT_EQ(Info(), c.text + "011\r\n");
        Stop(SIGTERM);
    }
}

TEST_F(Bootsim, HostReopensThePortMidDialogue) {
    constexpr int kBlocks = 6;
    const auto image = RandomBytes(kBlocks * kBlock, 503);
    const std::string out = files.File("image.bin");
    ASSERT_TRUE(Start({"--blocks", std::to_string(kBlocks), "--out", out}));
    const auto reopen = [this] {
        host->ser->ClosePort();
        ASSERT_TRUE(host->ser->OpenPort());
    };
    // Between the start byte and its answer.
    Reset();
    ASSERT_EQ(Next(), 0xFF);
    reopen();
    Send("\x55");
    ASSERT_EQ(Next(), 0xFE);
    // Between requests and their frames.
    TScript script;
    script.beforeAnswer = [&](int k) {
        if (k % 2 == 1) reopen();
    };
    const TWriteLog log = Write(image, script);
    EXPECT_TRUE(log.ended);
    EXPECT_EQ(log.requests, Sequence(0, kBlocks));
    EXPECT_TRUE(Eventually([&] { return ReadFile(out) == DeviceWords(image); }));
    // Before the configuration, as the window always does.
    reopen();
    EXPECT_EQ(Configure("011"), Bytes({0x0A, 0x0D, 0x0F}));
    reopen();
    EXPECT_EQ(Info(), std::string(kInfo) + "011\r\n");
}

TEST_F(Bootsim, SilentAfterK) {
    const auto image = RandomBytes(8 * kBlock, 504);
    ASSERT_TRUE(Start({"--blocks", "8", "--fault", "silent-after=2"}));
    ASSERT_TRUE(EnterMenu());
    TScript script;
    script.silence = 500ms;
    const TWriteLog log = Write(image, script);
    EXPECT_FALSE(log.ended);
    EXPECT_EQ(log.requests, Sequence(0, 2));
    EXPECT_EQ(log.trailing, "");
    Command("FW_VER_");
    EXPECT_TRUE(Quiet()) << "a silent device answered";
    EXPECT_TRUE(sim->Running());
    const auto summary = Stop(SIGTERM);
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->blocks, 2);
    EXPECT_EQ(summary->refused, 0);
}

TEST_F(Bootsim, HangupAfterK) {
    const auto image = RandomBytes(8 * kBlock, 505);
    ASSERT_TRUE(Start({"--blocks", "8", "--fault", "hangup-after=3"}));
    ASSERT_TRUE(EnterMenu());
    TScript script;
    script.silence = 500ms;
    const TWriteLog log = Write(image, script);
    EXPECT_FALSE(log.ended);
    EXPECT_EQ(log.requests, Sequence(0, 3));
    // The port vanishes: the link goes, the process ends, the host's port closes.
    EXPECT_TRUE(Eventually([&] { return !Linked(); }));
    EXPECT_TRUE(sim->Wait(kAnswerTime).has_value()) << "bootsim still runs after hanging up";
    EXPECT_TRUE(Eventually([&] { return !host->ser->Active(); })) << "the host's port stays open";
    char byte = 0x55;
    EXPECT_EQ(host->ser->SendData(&byte, 1), 0);
    const auto summary = ParseSummary(sim->Err());
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->blocks, 3);
    EXPECT_EQ(summary->refused, 0);
}

TEST_F(Bootsim, NoiseBetweenRequestsLeavesTheWriteWhole) {
    constexpr int kBlocks = 8;
    const auto image = RandomBytes(kBlocks * kBlock, 506);
    const std::string out = files.File("image.bin");
    ASSERT_TRUE(Start({"--blocks", std::to_string(kBlocks), "--out", out, "--fault", "noise"}));
    ASSERT_TRUE(EnterMenu());
    const TWriteLog log = Write(image);
    EXPECT_TRUE(log.ended);
    EXPECT_EQ(log.requests, Sequence(0, kBlocks));
    ASSERT_EQ(log.noise.size(), static_cast<std::size_t>(kBlocks));
    for (std::size_t k = 0; k < log.noise.size(); ++k) {
        EXPECT_GE(log.noise[k].size(), 1u) << "block " << k;
        EXPECT_LE(log.noise[k].size(), 3u) << "block " << k;
        for (const char c : log.noise[k])
            EXPECT_LE(static_cast<std::uint8_t>(c), 0x80) << "block " << k;
    }
    EXPECT_EQ(log.trailing, "");
    EXPECT_TRUE(Eventually([&] { return ReadFile(out) == DeviceWords(image); }));
}

TEST_F(Bootsim, OnceEndsAfterTheWriteAndTheConfiguration) {
    constexpr int kBlocks = 4;
    const auto image = RandomBytes(kBlocks * kBlock, 507);
    const struct {
        int badFrames;  // of block 1
        int status;
    } cases[] = {{0, 0}, {1, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.badFrames << " bad frames");
        ASSERT_TRUE(Start({"--blocks", std::to_string(kBlocks), "--once"}));
        ASSERT_TRUE(EnterMenu());
        TScript script;
        script.spoiled[1] = c.badFrames;
        EXPECT_TRUE(Write(image, script).ended);
        EXPECT_FALSE(sim->Wait(100ms)) << "exited before the configuration";
        EXPECT_EQ(Configure("010"), Bytes({0x0A, 0x0D, 0x0E}));
        EXPECT_EQ(sim->Wait(kAnswerTime), std::optional<int>(c.status));
        EXPECT_FALSE(Linked());
        const auto summary = ParseSummary(sim->Err());
        ASSERT_TRUE(summary);
        EXPECT_EQ(summary->blocks, kBlocks);
        EXPECT_EQ(summary->refused, c.badFrames);
    }
}

TEST_F(Bootsim, FramesAreDecipheredWithTheKeyText) {
    constexpr int kBlocks = 3;
    const auto image = RandomBytes(kBlocks * kBlock, 509);
    const struct {
        std::string hostKey;
        bool accepted;
    } cases[] = {{"k3y!", true}, {std::string(kKey), false}};
    for (const auto& c : cases) {
        SCOPED_TRACE("host key " + c.hostKey);
        const std::string out = files.File("image-" + std::to_string(c.accepted));
        ASSERT_TRUE(Start({"--blocks", std::to_string(kBlocks), "--key", "k3y!", "--out", out}));
        ASSERT_TRUE(EnterMenu());
        TScript script;
        script.key = c.hostKey;
        script.silence = 500ms;
        const TWriteLog log = Write(image, script);
        EXPECT_EQ(log.ended, c.accepted);
        if (c.accepted) {
            EXPECT_EQ(log.requests, Sequence(0, kBlocks));
            EXPECT_TRUE(Eventually([&] { return ReadFile(out) == DeviceWords(image); }));
        } else {
            EXPECT_EQ(log.requests, std::vector<int>(4, 0));
            EXPECT_EQ(log.trailing, "\x80");
        }
        Stop(SIGTERM);
    }
}

TEST_F(Bootsim, ProgramTimeFollowsEveryBlock) {
    constexpr int kBlocks = 4, kProgramMs = 60;
    const auto image = RandomBytes(kBlocks * kBlock, 510);
    ASSERT_TRUE(
        Start({"--blocks", std::to_string(kBlocks), "--program-ms", std::to_string(kProgramMs)}));
    ASSERT_TRUE(EnterMenu());
    const TWriteLog log = Write(image);
    ASSERT_TRUE(log.ended);
    EXPECT_GE(log.seconds, kBlocks * kProgramMs / 1000.0);
    // One pause per block, nothing more.
    EXPECT_LT(log.seconds, (kBlocks + 2) * kProgramMs / 1000.0);
}

TEST_F(Bootsim, PacingTakesTheLineTime) {
    // The window's line rate: a block then takes 0.3 s, against which the host's own reaction
    // of a few milliseconds under a loaded sanitizer run stays well inside the tolerance.
    constexpr int kBlocks = 4;
    constexpr int kBaud = 115200;
    const auto image = RandomBytes(kBlocks * kBlock, 508);
    ASSERT_TRUE(Start({"--blocks", std::to_string(kBlocks), "--pace", std::to_string(kBaud)}));
    ASSERT_TRUE(EnterMenu());
    const TWriteLog log = Write(image);
    ASSERT_TRUE(log.ended);
    // 0xA1, a request and a frame per block, 0x81; 11 bits each.
    const double lineS = (2.0 + kBlocks * (1.0 + kFrame)) * 11 / kBaud;
    EXPECT_NEAR(log.seconds, lineS, lineS * 0.05);
    const auto summary = Stop(SIGTERM);
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->blocks, kBlocks);
    EXPECT_NEAR(summary->writeS, lineS, lineS * 0.05)
        << "turnaround median " << summary->medianMs << " ms";
    EXPECT_GT(summary->linePercent, 90.0);
    EXPECT_LE(summary->linePercent, 100.5);
}

}  // namespace
