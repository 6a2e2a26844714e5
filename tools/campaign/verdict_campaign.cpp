// The verdict campaign: many runs of the shipped program from outside, each drawn from a seed
// (cable behaviour, pacing, operator action), each judged against the outcome that the test's
// rules and the evidence of the moment give, with a table of what came out.
//
//   verdict_campaign --program PATH [--com N] [--seed S] [--runs N] [--seeds S,S,...] [--fresh]
//                    [--switches]
//
// Run i of a campaign from --seed S uses seed S + i, so `--seed S --runs 1` replays one run.
// --fresh adds one seed from the clock. SELFTEST_CAMPAIGN=N in the environment replaces the
// seeds given by N runs from a fresh seed (the long campaign).
// --switches: each run's cable also has one of the cable driver's fault switches, drawn with the
// run (the driver's cables only).
#include "campaign_model.h"

#include "dialog_driver.h"
#include "loopback_cable.h"
#include "process_footprint.h"

#include "port_broadcast.h"

#include <dbt.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace
{
const DWORD kSettleMs = 30000; // longest run: six reads at their 2000 ms bound, and a second run
const char kCancelled[] = "User cancelled!";
const char kOpenFailed[] = "Unable to open port";
const char kDiscoveredName[] = "COM12"; // what discovery leaves in the box when no cable answers
// Where a port of another make arrives: among the ports discovery tries, so it is opened and
// asked, but not the last one tried, on which the run that the arrival starts then fails to open.
const int kArrivingCom = 9;

enum class Outcome
{
    Right,
    FalseOk,
    FalseNg,
    WrongLog,
    NoVerdict,
    Hang,
    Crash,
    Count
};

const char* OutcomeName(Outcome outcome)
{
    static const char* const names[] = {"right", "false OK", "false NG", "wrong log", "no verdict", "hang", "crash"};
    return names[(int)outcome];
}

// What the program must show once the run and the action are over.
struct Expected
{
    bool exits = false;                 // Esc: the dialog ends after the run
    bool messageBox = false;            // "Unable to open port" was shown
    CDialogDriver::Verdict verdict = CDialogDriver::VerdictBlank;
    std::vector<std::string> log;
    int progress = 0;
    std::string port;                   // the port box's text; empty: the name typed
    unsigned long long cableIn = 0;     // bytes the cable must have received
    std::string landing;                // where the action was handled, for the report
    std::string evidence;               // what that was worked out from
};

struct Seen
{
    bool exited = false;
    bool settled = false;
    bool responsive = false;
    std::string box;
    CDialogDriver::Verdict verdict = CDialogDriver::VerdictUnclear;
    std::vector<std::string> log;
    int progress = -1;
    bool idle = false;
    std::string port;
    unsigned long long cableIn = 0;
};

Expected FromRun(const RunModel& run)
{
    Expected e;
    e.verdict = run.ok ? CDialogDriver::VerdictOk : CDialogDriver::VerdictNg;
    e.log = run.log;
    e.progress = run.progress;
    return e;
}

Expected OpenFailed()
{
    Expected e;
    e.messageBox = true;
    return e;
}

size_t WriteLines(const std::vector<std::string>& log)
{
    return (size_t)std::count_if(log.begin(), log.end(),
                                 [](const std::string& line) { return line.compare(0, 6, "Write ") == 0; });
}

// Bytes the cable takes in when the program writes `writes` blocks.
unsigned long long CableIn(const Scenario& s, size_t writes)
{
    if (s.cable == CableKind::Stall)
        return 0;
    const unsigned long long sent = 512ull * writes;
    return s.cable == CableKind::HangUp ? std::min(sent, (unsigned long long)s.value) : sent;
}

std::string Join(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += "    | " + line + "\n";
    return text.empty() ? "    (empty)\n" : text;
}

// What the program must show once a device change was handled, from `run`, what the run alone
// would show. Handled during the run, an arrival changes nothing and a pull fails the run;
// handled after it, either resets the display, and an arrival then starts a run on the name
// that discovery leaves, which does not open.
Expected ExpectDeviceChange(const Scenario& s, const Expected& run, bool afterRun, unsigned long long pulledIn,
                            const std::vector<std::string>& seenLog)
{
    const bool arrival = s.action == Action::Arrival;
    Expected e = run;
    if (afterRun) {
        e = arrival ? OpenFailed() : Expected();
        if (arrival)
            e.port = kDiscoveredName;
    } else if (!arrival) {
        // The pulled cable failed the run where it was; the cable's count says where.
        const std::vector<RunModel> pulled = ModelPull(s, pulledIn);
        e = FromRun(pulled.front());
        for (const RunModel& r : pulled)
            if (LogMatches(seenLog, r.log))
                e = FromRun(r);
        e.evidence = " (the cable had taken in " + std::to_string(pulledIn) + " bytes)";
    }
    e.cableIn = arrival ? run.cableIn : pulledIn;
    return e;
}

class Campaign
{
public:
    Campaign(const std::string& program, int com, bool switches)
        : m_strProgram(program), m_cable(com, "--instant"), m_bSwitches(switches)
    {
    }

    bool Ready(std::string& why)
    {
        if (!m_cable.IsReady()) {
            why = m_cable.Error();
            return false;
        }
        return true;
    }

    Outcome Play(const Scenario& s, std::string& detail, std::string& landing);
    // The cable driver's ports are of the uart flavour, unless the campaign asks for the bridge's,
    // whose writes are done once they fit its buffer.
    bool UartWrites() const
    {
        return m_cable.Kind() == CCableClient::Driver && CCableClient::FlavourFromEnvironment() != "bridge";
    }
    void Report(double minutes) const;
    // How often a run writes the port's line setting before its first rate's: the stored
    // defaults at open, which the system may not have for the port, then flow control.
    int SetStatesBeforeRates() const
    {
        COMMCONFIG config = {};
        config.dwSize = sizeof config;
        DWORD size = sizeof config;
        return 1 + (::GetDefaultCommConfigA(m_cable.Name().c_str(), &config, &size) ? 1 : 0);
    }
    void Tally(const Scenario& s, Outcome outcome)
    {
        ++m_table[(int)s.cable][(int)outcome], ++m_actions[(int)s.action][(int)outcome];
        if (m_bSwitches)
            ++m_switches[SwitchKind(s.driverSwitch)][(int)outcome];
    }

private:
    bool EnsureProgram(std::string& why);
    bool PrepareCable(const Scenario& s);
    bool Settle(bool exits);
    void Observe(Seen& seen, bool exits);
    // An action's share of a run: what it does to the program, and what the run must then show.
    void PlayStop(const Scenario& s, const RunModel& run, Expected& e, Seen& seen);
    bool PlayDeviceChange(const Scenario& s, Expected& e, Seen& seen, std::string& detail);
    void PlayStartAgain(const Scenario& s, const RunModel& run, Expected& e, Seen& seen);
    Outcome Judge(const Expected& e, const Seen& seen, std::string& detail) const;
    // Judges the run and books it; a program that hung or crashed is not played on.
    Outcome Conclude(const Expected& e, const Seen& seen, std::string& detail, std::string& landing);
    void Announce(int com, bool arrival, std::string& box);
    void NoteFootprint();

    std::string m_strProgram;
    CLoopbackCable m_cable;
    bool m_bSwitches;
    std::map<std::string, std::array<int, (int)Outcome::Count>> m_switches;
    CDialogDriver m_driver;
    bool m_bLaunched = false;
    int m_nProcessRuns = 0;

    int m_table[(int)CableKind::Count][(int)Outcome::Count] = {};
    int m_actions[(int)Action::Count][(int)Outcome::Count] = {};

    // Footprint of each program process after its first run and after its last.
    struct ProcessFootprint
    {
        Footprint first, last;
        int maxHandles = 0;
        SIZE_T maxPrivate = 0;
        int runs = 0;
    };
    std::vector<ProcessFootprint> m_processes;
    std::map<std::string, int> m_landings;
};

bool Campaign::EnsureProgram(std::string& why)
{
    if (m_bLaunched && !m_driver.HasExited() && m_driver.IsResponsive(3000))
        return true;
    m_bLaunched = m_driver.Launch(m_strProgram, 60000);
    if (!m_bLaunched) {
        why = "launch: " + m_driver.LastError();
        return false;
    }
    // A spot of its own for each cable, below where the other programs' tests put theirs:
    // campaigns side by side must not read each other's verdict off the screen.
    const int slot = (m_cable.Com() - 80) % 3;
    m_driver.PlaceOnTop(20 + 420 * (slot < 0 ? 0 : slot), 600);
    m_nProcessRuns = 0;
    m_processes.push_back(ProcessFootprint());
    return true;
}

bool Campaign::PrepareCable(const Scenario& s)
{
    // A driver's switch is the cable's from its `add` on.
    if (m_bSwitches && !m_cable.Replace("--instant " + s.driverSwitch))
        return false;
    CCableClient::Stats stats;
    if (!m_cable.GetStats(stats))
        return false;
    if (stats.hungup && !m_cable.Request("restore"))
        return false;
    // Echoes still on their way and bytes nobody read belong to the last run.
    if (!m_cable.Request("flush") || !m_cable.Request("reset") ||
        !m_cable.Request(s.paced ? "pacing on" : "pacing off"))
        return false;
    const std::string request = s.CableRequest();
    return request.empty() || m_cable.Request(request);
}

void Campaign::Announce(int com, bool arrival, std::string& box)
{
    std::atomic<bool> done(false);
    // To every top-level window, as the system announces a port; the dialog's handler may sit
    // in a message box until it is closed, so the send has a thread of its own.
    std::thread sender([&] {
        BroadcastPortChange(com, arrival, 20000);
        done = true;
    });
    HWND found = nullptr;
    CDialogDriver::WaitFor([&] { return done || (found = m_driver.FindMessageBox()) != nullptr; }, 20000, 10);
    if (found != nullptr) {
        box = CDialogDriver::MessageBoxText(found);
        m_driver.CloseMessageBox(found);
    }
    sender.join();
}

bool Campaign::Settle(bool exits)
{
    if (exits)
        return m_driver.WaitExit(kSettleMs);
    // A run is over when its buttons are idle and its verdict is drawn (Stop makes the buttons
    // idle at once); a display reset after the run leaves an empty log instead.
    return CDialogDriver::WaitFor(
        [this] {
            if (m_driver.HasExited() || m_driver.FindMessageBox() != nullptr)
                return true;
            return m_driver.IsIdle() &&
                   (m_driver.ReadVerdict() != CDialogDriver::VerdictBlank || m_driver.LogCount() == 0);
        },
        kSettleMs, 50);
}

void Campaign::Observe(Seen& seen, bool exits)
{
    seen.settled = Settle(exits);
    seen.exited = m_driver.HasExited();
    CCableClient::Stats stats;
    if (m_cable.GetStats(stats))
        seen.cableIn = stats.in;
    if (seen.exited)
        return;
    if (HWND box = m_driver.FindMessageBox()) {
        seen.box = CDialogDriver::MessageBoxText(box);
        m_driver.CloseMessageBox(box);
        m_driver.WaitIdle(5000);
    }
    seen.responsive = m_driver.IsResponsive(5000);
    // The screen shows the drawing once the window system has flushed it.
    ::Sleep(100);
    seen.verdict = m_driver.ReadVerdict();
    seen.log = m_driver.LogLines();
    seen.progress = m_driver.ProgressPos();
    seen.idle = m_driver.IsIdle();
    seen.port = m_driver.PortText();
}

Outcome Campaign::Judge(const Expected& e, const Seen& seen, std::string& detail) const
{
    typedef CDialogDriver D;
    if (seen.exited != e.exits) {
        detail = seen.exited ? "the program ended" : "the program did not end after Esc";
        return seen.exited ? Outcome::Crash : Outcome::Hang;
    }
    if (e.exits) {
        const DWORD code = m_driver.ExitCode();
        if (code != 0) {
            detail = "exit code " + std::to_string(code);
            return Outcome::Crash;
        }
    } else {
        if (!seen.settled || !seen.responsive) {
            detail = !seen.settled ? "the run did not end in time" : "the dialog does not answer";
            return Outcome::Hang;
        }
        if (seen.verdict != e.verdict) {
            detail = std::string("verdict ") + D::VerdictName(seen.verdict) + ", expected " + D::VerdictName(e.verdict);
            if (seen.verdict == D::VerdictOk)
                return Outcome::FalseOk;
            if (seen.verdict == D::VerdictNg)
                return Outcome::FalseNg;
            return Outcome::NoVerdict;
        }
        std::string wrong;
        if (!LogMatches(seen.log, e.log))
            wrong += "  log:\n" + Join(seen.log) + "  expected:\n" + Join(e.log);
        if (seen.progress != e.progress)
            wrong += "  progress " + std::to_string(seen.progress) + ", expected " + std::to_string(e.progress) + "\n";
        if ((seen.box == kOpenFailed) != e.messageBox || (!seen.box.empty() && seen.box != kOpenFailed))
            wrong += "  message box \"" + seen.box + "\", expected " + (e.messageBox ? kOpenFailed : "none") + "\n";
        if (!seen.idle)
            wrong += "  buttons not Start enabled, Stop disabled\n";
        if (!e.port.empty() && seen.port != e.port)
            wrong += "  port box \"" + seen.port + "\", expected \"" + e.port + "\"\n";
        if (!wrong.empty()) {
            detail = wrong;
            return Outcome::WrongLog;
        }
    }
    if (seen.cableIn != e.cableIn) {
        detail = "the cable received " + std::to_string(seen.cableIn) + " bytes, expected " + std::to_string(e.cableIn);
        return Outcome::WrongLog;
    }
    return Outcome::Right;
}

Outcome Campaign::Play(const Scenario& s, std::string& detail, std::string& landing)
{
    std::string why;
    if (!EnsureProgram(why) || !PrepareCable(s) || !m_driver.TypePort(m_cable.Name())) {
        detail = why.empty() ? "could not prepare the cable or the port box" : why;
        return m_driver.HasExited() ? Outcome::Crash : Outcome::Hang;
    }
    const RunModel run = ModelRun(s, 0);
    Expected e = FromRun(run);
    e.cableIn = CableIn(s, WriteLines(run.log));

    if (!m_driver.ClickStart() || !m_driver.WaitRunStarted(5000)) {
        detail = "the run did not start";
        return Outcome::Hang;
    }
    ::Sleep((DWORD)s.atMs);
    Seen seen;
    switch (s.action) {
    case Action::None: break;
    case Action::Stop: PlayStop(s, run, e, seen); break;
    case Action::Arrival:
    case Action::Removal:
        if (!PlayDeviceChange(s, e, seen, detail))
            return Outcome::Hang;
        break;
    case Action::StartAgain: PlayStartAgain(s, run, e, seen); break;
    case Action::Escape:
        m_driver.PressEscape();
        e.exits = true;
        e.landing = "escape";
        Observe(seen, true);
        break;
    default: break;
    }
    if (s.action == Action::None)
        Observe(seen, false);
    return Conclude(e, seen, detail, landing);
}

void Campaign::PlayStop(const Scenario& s, const RunModel& run, Expected& e, Seen& seen)
{
    // The program handles a click only in a pause of the run or after it. The line count,
    // sent right behind the click, is answered in the same pass of its message pump, just
    // before or just after the Stop; in the short pause the read can come in between.
    const size_t before = (size_t)m_driver.LogCount();
    const bool clicked = m_driver.ClickStop();
    const int counted = m_driver.LogCount();
    Observe(seen, false);
    if (!clicked) {
        e.landing = "stop: button already disabled";
        return;
    }
    size_t at = run.log.size() + 1;
    for (int back = 0; back <= 2; ++back) {
        const int index = counted - back;
        if (index >= 0 && (size_t)index < seen.log.size() && seen.log[index] == kCancelled &&
            (size_t)index >= before)
            at = (size_t)index;
    }
    RunModel stopped;
    if (at > run.log.size() || !ModelStop(run, at, stopped)) {
        e.log.push_back("(User cancelled! where the click was handled, at line " + std::to_string(counted) + ")");
        e.landing = "stop: nowhere";
        return;
    }
    const Pump pump = PumpAt(run, at);
    e = FromRun(stopped);
    e.cableIn = CableIn(s, WriteLines(stopped.log));
    e.evidence = " (lines " + std::to_string(before) + " before the click, " + std::to_string(counted) +
                 " counted behind it; cancelled after line " + std::to_string(at) + ")";
    e.landing = pump == Pump::Long ? "stop: 200 ms pause" : pump == Pump::Short ? "stop: 100 ms pause" : "stop: after the run";
}

bool Campaign::PlayDeviceChange(const Scenario& s, Expected& e, Seen& seen, std::string& detail)
{
    // A real device change: a port of another make plugged in (taken away unannounced once
    // the run is judged), or this cable pulled out (put back unannounced before the next).
    const bool arrival = s.action == Action::Arrival;
    const bool before = m_driver.IsIdle();
    CTestCable other(m_cable.Kind());
    unsigned long long pulledIn = 0;
    if (arrival) {
        if (!other.Claim(kArrivingCom, kArrivingCom, "--plain --instant")) {
            detail = "no port could arrive: " + other.Error();
            return false;
        }
    } else {
        CCableClient::Stats stats;
        if (!m_cable.GetStats(stats) || (!stats.hungup && !m_cable.Request("hangup")) || !m_cable.GetStats(stats)) {
            detail = "the cable could not be pulled";
            return false;
        }
        pulledIn = stats.in;
    }
    std::string box;
    Announce(arrival ? kArrivingCom : m_cable.Com(), arrival, box);
    const bool during = !before && box.empty() && !m_driver.IsIdle();
    Observe(seen, false);
    if (!box.empty())
        seen.box = box;
    // Handled during the run, the notice changes nothing; after it, it resets the display
    // (and an arrival starts a run on what discovery found). Between the two readings the
    // evidence allows either.
    const bool afterRun = before || (!during && (seen.log.empty() || !seen.box.empty()));
    e = ExpectDeviceChange(s, e, afterRun, pulledIn, seen.log);
    const char* what = arrival ? "arrival" : "removal";
    e.landing = std::string(what) + (before   ? ": after the run"
                                     : during ? ": during the run"
                                     : afterRun ? ": at the end, after it"
                                                : ": at the end, during it");
    return true;
}

void Campaign::PlayStartAgain(const Scenario& s, const RunModel& run, Expected& e, Seen& seen)
{
    const bool before = m_driver.IsIdle();
    const size_t linesBefore = (size_t)m_driver.LogCount();
    m_driver.PostCommand(IDC_START);
    const int counted = m_driver.LogCount();
    // Handled after the run, the click starts a second run on the same cable, whose stream
    // goes on where the first one's ended.
    const bool second = before || (size_t)counted == run.log.size() || (counted == 1 && linesBefore >= 2);
    if (second) {
        CDialogDriver::WaitFor([this] { return !m_driver.IsEnabled(IDC_START) || m_driver.FindMessageBox() != nullptr; }, 2000, 5);
        const RunModel again = ModelRun(s, run.consumed);
        const Expected first = e;
        e = run.hungUp ? OpenFailed() : FromRun(again);
        e.cableIn = run.hungUp ? first.cableIn : CableIn(s, WriteLines(run.log) + WriteLines(again.log));
    }
    e.landing = second ? "start: after the run, a second run" : "start: during the run, ignored";
    Observe(seen, false);
}

Outcome Campaign::Conclude(const Expected& e, const Seen& seen, std::string& detail, std::string& landing)
{
    if (!e.landing.empty())
        ++m_landings[e.landing];
    landing = e.landing + e.evidence;
    const Outcome outcome = Judge(e, seen, detail);
    if (!seen.exited) {
        ++m_nProcessRuns;
        NoteFootprint();
    }
    if (outcome == Outcome::Hang || outcome == Outcome::Crash) {
        // A new program for the next run; the old one is ended by the driver.
        m_bLaunched = false;
    }
    return outcome;
}

void Campaign::NoteFootprint()
{
    ProcessFootprint& p = m_processes.back();
    const Footprint now = MeasureFootprint(m_driver.Process(), m_driver.ProcessId());
    if (p.runs == 0)
        p.first = now;
    p.last = now;
    p.maxHandles = std::max(p.maxHandles, now.handles);
    p.maxPrivate = std::max(p.maxPrivate, now.privateBytes);
    ++p.runs;
}

// A Markdown table's head: what its rows are, then one column per outcome.
void PrintTableHead(const char* rows)
{
    std::printf("\n| %s \\ outcome |", rows);
    for (int o = 0; o < (int)Outcome::Count; ++o)
        std::printf(" %s |", OutcomeName((Outcome)o));
    std::printf("\n|---|");
    for (int o = 0; o < (int)Outcome::Count; ++o)
        std::printf("---|");
    std::printf("\n");
}

void Campaign::Report(double minutes) const
{
    int runs = 0;
    PrintTableHead("cable");
    for (int k = 0; k < (int)CableKind::Count; ++k) {
        std::printf("| %s |", CableKindName((CableKind)k));
        for (int o = 0; o < (int)Outcome::Count; ++o)
            std::printf(" %d |", m_table[k][o]), runs += m_table[k][o];
        std::printf("\n");
    }
    PrintTableHead("action");
    for (int a = 0; a < (int)Action::Count; ++a) {
        std::printf("| %s |", ActionName((Action)a));
        for (int o = 0; o < (int)Outcome::Count; ++o)
            std::printf(" %d |", m_actions[a][o]);
        std::printf("\n");
    }
    if (m_bSwitches) {
        PrintTableHead("driver switch");
        for (const auto& row : m_switches) {
            std::printf("| %s |", row.first.c_str());
            for (int count : row.second)
                std::printf(" %d |", count);
            std::printf("\n");
        }
    }
    std::printf("\nwhere the actions were handled:\n");
    for (const auto& landing : m_landings)
        std::printf("  %-40s %d\n", landing.first.c_str(), landing.second);
    std::printf("\n%d runs in %.1f min: %.1f runs per minute\n", runs, minutes, minutes > 0 ? runs / minutes : 0.0);
    size_t longest = 0;
    for (size_t i = 0; i < m_processes.size(); ++i)
        if (m_processes[i].runs > m_processes[longest].runs)
            longest = i;
    std::printf("%zu program processes (Esc ends one)\n", m_processes.size());
    if (!m_processes.empty()) {
        const ProcessFootprint& p = m_processes[longest];
        std::printf("longest-lived process, %d runs: handles after its first run %d, last %d, most %d; "
                    "private bytes first %zu, last %zu, most %zu\n",
                    p.runs, p.first.handles, p.last.handles, p.maxHandles, (size_t)p.first.privateBytes,
                    (size_t)p.last.privateBytes, (size_t)p.maxPrivate);
    }
}

std::vector<uint32_t> ParseSeeds(const char* text)
{
    std::vector<uint32_t> seeds;
    for (const char* p = text; *p;) {
        char* end = nullptr;
        seeds.push_back((uint32_t)std::strtoul(p, &end, 10));
        p = *end == ',' ? end + 1 : end;
        if (end == p && *p)
            break;
    }
    return seeds;
}
} // namespace

int main(int argc, char** argv)
{
    std::string program;
    int com = 80;
    uint32_t seed = (uint32_t)::GetTickCount() ^ (uint32_t)::GetCurrentProcessId() << 16;
    int runs = 1;
    std::vector<uint32_t> seeds;
    bool fresh = false;
    bool seedGiven = false;
    bool switches = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--program") program = value, ++i;
        else if (arg == "--com") com = std::atoi(value), ++i;
        else if (arg == "--seed") seed = (uint32_t)std::strtoul(value, nullptr, 10), seedGiven = true, ++i;
        else if (arg == "--runs") runs = std::atoi(value), ++i;
        else if (arg == "--seeds") seeds = ParseSeeds(value), ++i;
        else if (arg == "--fresh") fresh = true;
        else if (arg == "--switches") switches = true;
        else {
            std::fprintf(stderr, "usage: verdict_campaign --program PATH [--com N] [--seed S] [--runs N] "
                                 "[--seeds S,S,...] [--fresh] [--switches]\n");
            return 2;
        }
    }
    const char* long_ = std::getenv("SELFTEST_CAMPAIGN");
    if (long_ != nullptr && std::atoi(long_) > 0) {
        seeds.clear();
        runs = std::atoi(long_);
        fresh = false;
        seedGiven = true;
    }
    if (seeds.empty() || seedGiven)
        for (int i = 0; i < runs; ++i)
            seeds.push_back(seed + (uint32_t)i);
    if (fresh)
        seeds.push_back(seed);
    if (program.empty()) {
        std::fprintf(stderr, "verdict_campaign: no --program\n");
        return 2;
    }
    const char* cable = std::getenv("SELFTEST_CABLE");
    std::printf("campaign: %zu runs on %s, COM%d (%s cable%s), starting at %u%s\n", seeds.size(), program.c_str(), com,
                cable ? cable : "pty", switches ? ", a driver switch per run" : "", seeds[0],
                fresh ? " (the last one fresh)" : "");
    std::fflush(stdout);

    Campaign campaign(program, com, switches);
    std::string why;
    if (!campaign.Ready(why)) {
        std::fprintf(stderr, "verdict_campaign: %s\n", why.c_str());
        return 2;
    }
    std::vector<std::pair<uint32_t, std::string>> wrong;
    const DWORD start = ::GetTickCount();
    for (size_t i = 0; i < seeds.size(); ++i) {
        Scenario s = switches ? DrawScenarioWithSwitch(seeds[i]) : DrawScenario(seeds[i]);
        s.uartWrites = campaign.UartWrites();
        s.RefuseRate(campaign.SetStatesBeforeRates());
        std::string detail, landing;
        const Outcome outcome = campaign.Play(s, detail, landing);
        campaign.Tally(s, outcome);
        std::printf("run %zu seed %u: %s: %s%s%s\n", i + 1, s.seed, s.Describe().c_str(), OutcomeName(outcome),
                    landing.empty() ? "" : "; ", landing.c_str());
        if (outcome != Outcome::Right) {
            std::printf("%s\n", detail.c_str());
            wrong.push_back({s.seed, std::string(OutcomeName(outcome))});
        }
        std::fflush(stdout);
    }
    campaign.Report((::GetTickCount() - start) / 60000.0);
    std::printf("\nnot right: %zu", wrong.size());
    for (const auto& w : wrong)
        std::printf("%s%u (%s)", &w == &wrong[0] ? ": seeds " : ", ", w.first, w.second.c_str());
    std::printf("\n");
    return wrong.empty() ? 0 : 1;
}
