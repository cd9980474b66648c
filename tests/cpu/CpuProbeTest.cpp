// OscProbeCPU against the kernel: /proc/stat is a file of the test's own,
// bind-mounted over the real one in a private mount namespace, and time()
// and the sleep are defined in this executable, so the probe's calls (it
// comes from the static archive) resolve to them. The history is
// process-wide, so every test that calls probe() runs in a forked child and
// starts from an empty history.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "JxException.h"
#include "OscProbeCPU.h"
#include "TestSupport.h"
#include "ZuUtils.h"

using namespace oscprobe_test;

namespace {

// Until a child calls setNow(), time() and the sleep behave like the real ones.
std::atomic<bool> g_fake{false};
std::atomic<long> g_now{0};
std::atomic<bool> g_inSleep{false};
std::atomic<int> g_timeCallsDuringSleep{0};
std::mutex g_mutex;
std::vector<std::string> g_sleeps; // "<ms> ms at <file>:<line>"
std::function<void()> g_onSleep;   // runs inside each faked sleep, after the clock moved

void setNow(long t)
{
    g_now = t;
    g_fake = true;
}

long now()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return g_fake ? g_now.load() : ts.tv_sec;
}

void onSleep(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_onSleep = std::move(hook);
}

size_t sleepCount()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_sleeps.size();
}

} // namespace

extern "C" time_t time(time_t* out) noexcept
{
    if (g_fake && g_inSleep)
        ++g_timeCallsDuringSleep;
    time_t value = now();
    if (out != nullptr)
        *out = value;
    return value;
}

extern "C" int ZUSLEEP_InTeRnAl(long milliseconds, const char* file, int line)
{
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_sleeps.push_back(std::to_string(milliseconds) + " ms at " + file + ':' +
                           std::to_string(line));
        hook = g_onSleep;
    }
    if (!g_fake) {
        struct timespec left = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
        return 0;
    }
    g_inSleep = true;
    g_now += milliseconds / 1000;
    if (hook)
        hook();
    g_inSleep = false;
    return 0;
}

namespace {

// Child bodies report failures as text (gtest assertions do not cross fork).
#define CHILD_CHECK(cond, what)                                                            \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::ostringstream out_;                                                       \
            out_ << "line " << __LINE__ << ": " #cond " failed; " << what;                 \
            return out_.str();                                                             \
        }                                                                                  \
    } while (0)

// A file standing in for /proc/stat. Rewritten in place, so the bind mount
// keeps showing the current contents.
class FakeProcStat {
public:
    FakeProcStat() : path_(dir_.write("stat", "")), mount_(path_, "/proc/stat", "", MS_BIND) {}
    const std::string& error() const { return mount_.error(); }

    void setText(const std::string& text)
    {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
    }
    // The later columns carry ticks that must count neither way.
    void set(long long user, long long nice, long long system, long long idle)
    {
        std::ostringstream text;
        text << "cpu  " << user << ' ' << nice << ' ' << system << ' ' << idle
             << " 777 0 555 0 0 0\ncpu0 1 2 3 4 5 6 7 0 0 0\nintr 1 2 3\n";
        setText(text.str());
    }
    // Counters that grow non-linearly with time, so that the reference used
    // shows in the figures: busy = t * t, idle = 1000 * t.
    void setAt(long t) { set(t * t / 2, t * t - t * t / 2, 0, 1000 * t); }

private:
    TempDir dir_;
    std::string path_;
    ScopedMount mount_;
};

// Runs `body` in a child with its own mount namespace, /proc/stat replaced
// and the clock stopped at `start`.
std::string inChildWithFakeStat(long start, std::string (*body)(FakeProcStat&))
{
    return runInChild([&]() -> std::string {
        std::string why = enterPrivateMountNamespace();
        if (!why.empty())
            return why;
        FakeProcStat stat;
        if (!stat.error().empty())
            return stat.error();
        setNow(start);
        return body(stat);
    });
}

// A test whose body runs in such a child, the clock starting at `start`.
#define FAKE_STAT_TEST(Name, start)                                                        \
    std::string Name##Body(FakeProcStat& stat);                                            \
    TEST(CpuProbe, Name)                                                                   \
    {                                                                                      \
        OSCPROBE_REQUIRE_NAMESPACES();                                                     \
        EXPECT_EQ(inChildWithFakeStat(start, Name##Body), "");                             \
    }                                                                                      \
    std::string Name##Body(FakeProcStat& stat)

// Gives the history two readings 2 seconds apart: user 100 and idle 900,
// then user 150 and idle 950 (50% busy).
std::string primeAtFiftyPercent(FakeProcStat& stat)
{
    stat.set(100, 0, 0, 900);
    onSleep([&stat]() { stat.set(150, 0, 0, 950); });
    OscProbeCPU probe(100);
    CHILD_CHECK(probe.probe() && probe.getLastUsage() == 50, "usage " << probe.getLastUsage());
    onSleep(nullptr);
    return std::string();
}

// The first probe() with the clock at 0: readings at 0 and, after the one
// sleep moved the clock on, at 100.
void readAtZeroAndHundred(FakeProcStat& stat, OscProbeCPU& probe)
{
    stat.setAt(0);
    onSleep([&stat]() {
        setNow(100);
        stat.setAt(100);
    });
    probe.probe();
}

std::string lastUsageLine(const LogCapture& log)
{
    std::vector<std::string> lines = log.texts("OscProbeCPU::probe");
    std::string last = lines.empty() ? "(none)" : lines.back();
    while (!last.empty() && last.back() == '\n')
        last.pop_back();
    return last;
}

// Runs `call`, which must throw from the /proc/stat reader; says how the
// exception differs from the expected one.
std::string checkThrows(const std::function<void()>& call, const std::string& message, int line)
{
    std::ostringstream want;
    want << "OscProbeCPU::getCurrentCPU | " << message << " | OscProbeCPU:" << line << " | -1";
    try {
        call();
    } catch (const JxException& e) {
        std::ostringstream got;
        got << e.getFuncName() << " | " << e.getMessage() << " | " << e.getFile() << ':'
            << e.getLine() << " | " << e.getCode();
        return got.str() == want.str() ? "" : "got " + got.str() + ", expected " + want.str();
    }
    return "no exception, expected " + want.str();
}

} // namespace

TEST(CpuProbe, FirstCallSleepsOnceThenLaterProbesShareTheReadings)
{
    // Real clock, real sleep, real /proc/stat.
    EXPECT_EQ(runInChild([]() -> std::string {
                  auto before = std::chrono::steady_clock::now();
                  OscProbeCPU first(100);
                  bool go = first.probe();
                  std::chrono::duration<double> waited = std::chrono::steady_clock::now() - before;
                  CHILD_CHECK(go, "usage " << first.getLastUsage());
                  CHILD_CHECK(g_sleeps == std::vector<std::string>{"2000 ms at OscProbeCPU:143"},
                              g_sleeps.size() << " sleeps");
                  CHILD_CHECK(waited.count() >= 1.5, "answered after " << waited.count() << " s");
                  CHILD_CHECK(first.getLastUsage() >= 0 && first.getLastUsage() <= 100,
                              "usage " << first.getLastUsage());
                  OscProbeCPU later(100);
                  CHILD_CHECK(later.probe() && sleepCount() == 1, "the later probe slept");
                  return std::string();
              }),
              "");
}

FAKE_STAT_TEST(TakesNoReadingWithinTwoSecondsOfTheNewest, 1000)
{
    std::string primed = primeAtFiftyPercent(stat);
    if (!primed.empty())
        return primed;
    CHILD_CHECK(now() == 1002, "now " << now());
    // Counters moved on, but 1002 and 1003 are too close to the newest
    // reading (1002): the same two readings answer.
    stat.set(250, 0, 0, 950);
    OscProbeCPU probe(100);
    probe.probe();
    CHILD_CHECK(probe.getLastUsage() == 50, "usage " << probe.getLastUsage());
    setNow(1003);
    probe.probe();
    CHILD_CHECK(probe.getLastUsage() == 50, "usage " << probe.getLastUsage());
    // Two seconds on, a reading is taken; the reference stays the oldest
    // (user 100, idle 900): busy 150, idle 50.
    setNow(1004);
    probe.probe();
    CHILD_CHECK(probe.getLastUsage() == 75, "usage " << probe.getLastUsage());
    CHILD_CHECK(sleepCount() == 1, sleepCount() << " sleeps");
    return std::string();
}

FAKE_STAT_TEST(MeasuresFromNewestReadingOlderThanHalfAMinuteOrOldestOfAFullRing, 0)
{
    LogCapture log(2);
    OscProbeCPU probe(100);
    readAtZeroAndHundred(stat, probe);
    CHILD_CHECK(lastUsageLine(log) == "CPU: busy=10000, idle=100000, USAGE: 9%",
                lastUsageLine(log));
    // Readings at 0, 100 and 200: 100 is the newest older than 170.
    setNow(200);
    stat.setAt(200);
    probe.probe();
    CHILD_CHECK(lastUsageLine(log) == "CPU: busy=30000, idle=100000, USAGE: 23%",
                lastUsageLine(log));
    CHILD_CHECK(probe.getLastUsage() == 23, "usage " << probe.getLastUsage());
    // Sixteen more every 2 seconds fill the ring with 202 to 232, pushing
    // out 0, 100 and 200; none is older than 202 = 232 - 30, so the oldest
    // kept is the reference.
    for (long t = 202; t <= 232; t += 2) {
        setNow(t);
        stat.setAt(t);
        probe.probe();
    }
    CHILD_CHECK(lastUsageLine(log) == "CPU: busy=13020, idle=30000, USAGE: 30%",
                lastUsageLine(log));
    CHILD_CHECK(sleepCount() == 1, sleepCount() << " sleeps");
    return std::string();
}

FAKE_STAT_TEST(GoesUpToTheThresholdAndLogsItsLines, 1000)
{
    std::string primed = primeAtFiftyPercent(stat);
    if (!primed.empty())
        return primed;
    // Construction lines are written at the default level; the usage line
    // only from level 2.
    LogCapture log(1);
    OscProbeCPU atUsage(50);
    CHILD_CHECK(log.texts("OscProbeCPU") == std::vector<std::string>({"Initializing CPU probe. Cost 2",
                                                                      "   Threshold: 50%"}),
                log.lines().size() << " lines");
    CHILD_CHECK(atUsage.getCost() == 2 && !atUsage.getWakesMonitor(), "");
    CHILD_CHECK(atUsage.getNoGoReason() == 0x03000015u, "");
    log.clear();
    CHILD_CHECK(atUsage.probe(), "usage 50 at threshold 50 is no-go");
    CHILD_CHECK(log.lines().empty(), log.lines().size() << " lines at level 1");

    EvDebug::setDebugLevel(2);
    CHILD_CHECK(!OscProbeCPU(49).probe(), "usage 50 at threshold 49 is go");
    CHILD_CHECK(log.lines().back().severity == EvDebug::SEVERITY_VERBOSE &&
                    lastUsageLine(log) == "CPU: busy=50, idle=50, USAGE: 50%",
                lastUsageLine(log));
    CHILD_CHECK(OscProbeCPU(100).probe() && !OscProbeCPU(0).probe() && !OscProbeCPU(-1).probe(),
                "");
    CHILD_CHECK(sleepCount() == 1, sleepCount() << " sleeps");
    return std::string();
}

FAKE_STAT_TEST(ParseFailureThrowsAndLeavesTheHistoryAlone, 0)
{
    LogCapture log(2);
    OscProbeCPU probe(100);
    readAtZeroAndHundred(stat, probe);
    setNow(200);
    stat.setText("intr 1 2 3 4\ncpu  1 2 3 4\n");
    std::string thrown = checkThrows([&]() { probe.probe(); },
                                     "Couldn't get CPU info from /proc/stat: Parsing error.", 223);
    CHILD_CHECK(thrown.empty(), thrown);
    // The failed reading was not kept (the newest is still the one at 100,
    // so at 200 a reading is due) and the lock is free.
    stat.setAt(200);
    probe.probe();
    CHILD_CHECK(lastUsageLine(log) == "CPU: busy=30000, idle=100000, USAGE: 23%",
                lastUsageLine(log));
    return std::string();
}

TEST(CpuProbe, OpenAndReadFailuresCarryTheSystemError)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    EXPECT_EQ(runInChild([]() -> std::string {
                  std::string why = enterPrivateMountNamespace();
                  if (!why.empty())
                      return why;
                  // An empty /proc: nothing to open; then a directory where the file was.
                  ScopedMount proc("tmpfs", "/proc", "tmpfs", 0);
                  if (!proc.ok())
                      return proc.error();
                  OscProbeCPU probe(100);
                  std::string thrown =
                      checkThrows([&]() { probe.probe(); },
                                  "Couldn't open /proc/stat: No such file or directory", 213);
                  CHILD_CHECK(thrown.empty(), thrown);
                  if (mkdir("/proc/stat", 0755) != 0)
                      return std::string("mkdir /proc/stat: ") + strerror(errno);
                  long long busy = 0, idle = 0;
                  thrown = checkThrows([&]() { probe.getCurrentCPU(&busy, &idle); },
                                       "Couldn't read from /proc/stat: Is a directory", 218);
                  CHILD_CHECK(thrown.empty(), thrown);
                  return std::string();
              }),
              "");
}

FAKE_STAT_TEST(ClockSetBackDiscardsTheHistoryAndMeasuresAfresh, 1000)
{
    std::string primed = primeAtFiftyPercent(stat);
    if (!primed.empty())
        return primed;
    LogCapture log(2);
    for (long back : {500L, 501L}) {
        // From 1002 far back to 500, then from 502 one second back.
        setNow(back);
        stat.set(1000, 0, 0, 1000);
        onSleep([&stat]() { stat.set(1030, 0, 0, 1070); });
        size_t sleepsBefore = sleepCount();
        log.clear();
        OscProbeCPU probe(100);
        probe.probe();
        CHILD_CHECK(probe.getLastUsage() == 30, "usage " << probe.getLastUsage());
        CHILD_CHECK(sleepCount() == sleepsBefore + 1, "no fresh sleep after going back to " << back);
        int errors = 0;
        for (const LogCapture::Line& line : log.lines())
            errors += line.severity == EvDebug::SEVERITY_ERROR && line.tag == "OscProbeCPU::probe" &&
                      line.text.find(std::to_string(back)) != std::string::npos;
        CHILD_CHECK(errors == 1, errors << " error lines for " << back);
    }
    return std::string();
}

FAKE_STAT_TEST(ConcurrentProbesRunOneAfterAnother, 1000)
{
    stat.set(100, 0, 0, 900);
    OscProbeCPU first(100), second(100);
    std::atomic<bool> secondGo{false};
    std::thread secondThread;
    // While the first caller sleeps (lock held), the second one is started
    // and given time to run into the lock. Were the calls not serialised, it
    // would ask time() meanwhile and sleep too.
    onSleep([&]() {
        if (!secondThread.joinable())
            secondThread = std::thread([&]() { secondGo = second.probe(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stat.set(150, 0, 0, 950);
    });
    std::thread([&]() { first.probe(); }).join();
    if (secondThread.joinable())
        secondThread.join();
    CHILD_CHECK(g_timeCallsDuringSleep == 0, g_timeCallsDuringSleep << " time() calls in a sleep");
    CHILD_CHECK(sleepCount() == 1, sleepCount() << " sleeps");
    CHILD_CHECK(first.getLastUsage() == 50 && second.getLastUsage() == 50 && secondGo,
                first.getLastUsage() << " / " << second.getLastUsage());
    return std::string();
}
