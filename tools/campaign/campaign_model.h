// One run of the verdict campaign: what the cable and the operator do, drawn from a seed, and
// what the program must then show, worked out from the test's rules and from where the
// operator's action was handled.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class CableKind
{
    Good,
    NoEcho,
    Corrupt,  // one byte at `value`, an offset of the received stream
    EchoOnly, // only the first `value` bytes come back
    Delay,    // each echo `value` ms late
    HangUp,   // the device goes away after `value` bytes
    Stall,
    Mismatch, // the far end at `value` bps
    Count
};

enum class Action
{
    None,
    Stop,
    Arrival,
    Removal,
    StartAgain,
    Escape,
    Count
};

struct Scenario
{
    uint32_t seed = 0;
    CableKind cable = CableKind::Good;
    long value = 0;
    bool paced = false;
    Action action = Action::None;
    int atMs = 0; // after the run has started
    // A fault of the cable driver's for this run, as its `add` words ("--sticky-wait"); empty for
    // none. Of these only a refused line setting changes what a run shows: the driver refuses
    // the `setStateFails`-th (0: none), which is the setting of rate `refusedRate` (1 to 3; 0:
    // none; see RefuseRate).
    std::string driverSwitch;
    int setStateFails = 0;
    int refusedRate = 0;

    // A run writes the port's whole line setting `before` times ahead of its first rate: for the
    // stored defaults at open where the system has them, then for flow control.
    void RefuseRate(int before) { refusedRate = setStateFails > before && setStateFails - before <= 3 ? setStateFails - before : 0; }
    // Not drawn: the driver cable's UART, whose writes are done when their last byte has left,
    // so a line that stops mid-write fails the write.
    bool uartWrites = false;

    std::string CableRequest() const; // for the cable server; empty for a good cable
    std::string Describe() const;
};

Scenario DrawScenario(uint32_t seed);
// The same run with one of the cable driver's fault switches as well.
Scenario DrawScenarioWithSwitch(uint32_t number);
// What a run's switch is tallied under: its word, and its value where that changes the fault.
std::string SwitchKind(const std::string& driverSwitch);
const char* CableKindName(CableKind kind);
const char* ActionName(Action action);

// What one run does on its own, from where its received stream starts (the cable's offsets
// count since its last reset). Block 1 to 6: 512 bytes each, two per rate.
struct RunModel
{
    int failBlock = 0;             // 0: every check passes
    bool readFails = false;        // the failing check's read comes back short, not changed
    bool writeFails = false;       // and its write before it, on a line that stopped
    unsigned long long consumed = 0; // bytes the cable has received by the run's end
    bool hungUp = false;           // the device is gone afterwards
    bool rateRefused = false;      // the run ended at the rate line before block failBlock
    std::vector<std::string> log;
    int progress = 0;
    bool ok = false;
};

RunModel ModelRun(const Scenario& scenario, unsigned long long streamStart);

// Where in a run's log a posted click or key was handled: the number of lines already logged
// then. The program handles messages only in the pauses of a run and after it.
enum class Pump
{
    None,      // no pause of the run follows that line
    Long,      // a 200 ms pause: a Stop ends the run there
    Short,     // the 100 ms pause inside a block check: the check goes on
    AfterRun,  // the run is over
};

Pump PumpAt(const RunModel& run, size_t lines);

// What a run can show when its cable was pulled out once it had taken in `pulledIn` bytes, the
// removal announced while the run went on: the check under way fails at its read, unless the
// cable's own fault failed the run first. On a block's edge either neighbour may be the one
// under way. The failing check's write line stands as a pattern ("*": any text), since the
// write may have got out all, some or none of its block. Pulled before a rate's first block,
// the rate's setting may be the step that fails.
std::vector<RunModel> ModelPull(const Scenario& scenario, unsigned long long pulledIn);

// A log seen against a modelled one, whose lines may hold "*" for any text.
bool LogMatches(const std::vector<std::string>& seen, const std::vector<std::string>& expected);

// The run's outcome when Stop was handled with `lines` lines logged; false when no pause is
// there, so no Stop can have been handled there.
bool ModelStop(const RunModel& run, size_t lines, RunModel& stopped);
