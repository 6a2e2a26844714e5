#include "campaign_model.h"

#include "expected_log.h"

#include <algorithm>
#include <random>

namespace
{
const unsigned long long kBlock = 512;
const int kBlocks = 6;
const long kRates[] = {9600, 57600, 115200};

// Echo delays that leave no doubt: well inside the 2000 ms read bound even with the slowest
// line's 533 ms for a block, or well past it even when the 100 ms pause ran late.
const long kDelayPassMax = 800;
const long kDelayFailMin = 3000;
const long kDelayFailMax = 4000;

long RateOfBlock(int block)
{
    return kRates[(block - 1) / 2];
}

// "*" in `pattern` stands for any text.
bool Glob(const std::string& text, const std::string& pattern)
{
    const size_t star = pattern.find('*');
    if (star == std::string::npos)
        return text == pattern;
    if (text.compare(0, star, pattern, 0, star) != 0)
        return false;
    const std::string rest = pattern.substr(star + 1);
    for (size_t at = star; at <= text.size(); ++at)
        if (Glob(text.substr(at), rest))
            return true;
    return false;
}

bool DelayFails(long ms)
{
    return ms >= kDelayFailMin;
}

// How long the run lasts, roughly: a 200 ms pause before each check, then the 100 ms pause
// or the echo, whichever is longer, or the read's 2000 ms bound when it comes back short.
long EstimatedMs(const Scenario& s, const RunModel& run)
{
    const int checks = run.failBlock == 0 ? kBlocks : run.failBlock;
    long total = 0;
    for (int block = 1; block <= checks; ++block) {
        const long line = s.paced ? (long)(kBlock * 10 * 1000 / RateOfBlock(block)) : 5;
        const long echo = line + (s.cable == CableKind::Delay ? s.value : 0);
        total += 200 + (block == run.failBlock && run.readFails ? 2100 : std::max(100L, echo));
    }
    return total;
}
} // namespace

const char* CableKindName(CableKind kind)
{
    static const char* const names[] = {"good", "no echo", "corrupt", "echo only", "delay", "hang-up", "stall",
                                        "mismatch"};
    return names[(int)kind];
}

const char* ActionName(Action action)
{
    static const char* const names[] = {"none", "stop", "arrival", "removal", "start again", "escape"};
    return names[(int)action];
}

std::string Scenario::CableRequest() const
{
    switch (cable) {
    case CableKind::NoEcho: return "noecho on";
    case CableKind::Corrupt: return "corrupt " + std::to_string(value);
    case CableKind::EchoOnly: return "echo-only " + std::to_string(value);
    case CableKind::Delay: return "delay " + std::to_string(value);
    case CableKind::HangUp: return "hangup-after " + std::to_string(value);
    case CableKind::Stall: return "stall on";
    case CableKind::Mismatch: return "mismatch " + std::to_string(value);
    default: return std::string();
    }
}

std::string Scenario::Describe() const
{
    std::string text = std::string(CableKindName(cable));
    if (cable == CableKind::Corrupt || cable == CableKind::EchoOnly || cable == CableKind::Delay ||
        cable == CableKind::HangUp || cable == CableKind::Mismatch)
        text += " " + std::to_string(value);
    text += paced ? ", paced" : ", instant";
    if (!driverSwitch.empty())
        text += " " + driverSwitch;
    text += std::string(", ") + ActionName(action);
    if (action != Action::None)
        text += " at " + std::to_string(atMs) + " ms";
    return text;
}

std::string SwitchKind(const std::string& driverSwitch)
{
    const bool valueMatters = driverSwitch.compare(0, 14, "--removal-code") == 0 ||
                              driverSwitch.compare(0, 16, "--setstate-fails") == 0;
    return valueMatters ? driverSwitch : driverSwitch.substr(0, driverSwitch.find(' '));
}

Scenario DrawScenario(uint32_t seed)
{
    std::mt19937 random(seed);
    auto below = [&random](long bound) { return (long)(random() % (uint32_t)bound); };
    Scenario s;
    s.seed = seed;
    s.cable = (CableKind)below((long)CableKind::Count);
    switch (s.cable) {
    case CableKind::Corrupt: s.value = below(kBlocks) * (long)kBlock + below((long)kBlock); break;
    case CableKind::EchoOnly: s.value = below(kBlocks * (long)kBlock); break;
    case CableKind::Delay:
        s.value = below(2) ? below(kDelayPassMax + 1) : kDelayFailMin + below(kDelayFailMax - kDelayFailMin + 1);
        break;
    case CableKind::HangUp: s.value = 1 + below(kBlocks * (long)kBlock); break;
    case CableKind::Mismatch: {
        static const long farRates[] = {9600, 19200, 57600, 115200};
        s.value = farRates[below(4)];
        break;
    }
    default: break;
    }
    s.paced = below(2) != 0;
    // Weights: no action 6, Stop 6, arrival 2, removal 2, Start again 3, Esc 1 (it ends the
    // process, and a new one costs seconds).
    static const Action weighted[] = {Action::None, Action::None, Action::None, Action::None, Action::None,
                                      Action::None, Action::Stop, Action::Stop, Action::Stop, Action::Stop,
                                      Action::Stop, Action::Stop, Action::Arrival, Action::Arrival,
                                      Action::Removal, Action::Removal, Action::StartAgain, Action::StartAgain,
                                      Action::StartAgain, Action::Escape};
    s.action = weighted[below(sizeof(weighted) / sizeof(weighted[0]))];
    // A late echo of the first run would land in the read of a second one.
    if (s.action == Action::StartAgain && s.cable == CableKind::Delay && DelayFails(s.value))
        s.action = Action::Stop;
    // Any moment of the run, and a little past its end.
    if (s.action != Action::None)
        s.atMs = (int)below(EstimatedMs(s, ModelRun(s, 0)) * 11 / 10 + 1);
    return s;
}

Scenario DrawScenarioWithSwitch(uint32_t number)
{
    Scenario s = DrawScenario(number);
    // Draws of its own, so that the rest of the run is the one drawn without a switch.
    std::mt19937 random(number ^ 0x5157C4u);
    auto below = [&random](long bound) { return (long)(random() % (uint32_t)bound); };
    static const char* const switches[] = {"--removal-code 5", "--removal-code 22", "--removal-code 31",
                                           "--removal-code 995", "--sticky-wait", "--slow-close 1500",
                                           "--wait-refused", "--setstate-fails", "--latency"};
    s.driverSwitch = switches[below(sizeof(switches) / sizeof(switches[0]))];
    if (s.driverSwitch == "--setstate-fails") {
        s.setStateFails = 1 + (int)below(5);
        s.driverSwitch += " " + std::to_string(s.setStateFails);
    } else if (s.driverSwitch == "--latency") {
        s.driverSwitch += " " + std::to_string(1 + below(64));
    }
    return s;
}

RunModel ModelRun(const Scenario& s, unsigned long long streamStart)
{
    RunModel run;
    for (int block = 1; block <= kBlocks && run.failBlock == 0; ++block) {
        const unsigned long long first = streamStart + kBlock * (block - 1);
        const unsigned long long end = first + kBlock;
        if (block % 2 == 1 && (block + 1) / 2 == s.refusedRate) {
            run.failBlock = block, run.rateRefused = true;
            break;
        }
        switch (s.cable) {
        case CableKind::NoEcho: run.failBlock = block, run.readFails = true; break;
        case CableKind::Stall: run.failBlock = block, run.readFails = true, run.writeFails = s.uartWrites; break;
        case CableKind::Corrupt:
            if ((unsigned long long)s.value >= first && (unsigned long long)s.value < end)
                run.failBlock = block;
            break;
        case CableKind::EchoOnly:
            if ((unsigned long long)s.value < end)
                run.failBlock = block, run.readFails = true;
            break;
        case CableKind::Delay:
            if (DelayFails(s.value))
                run.failBlock = block, run.readFails = true;
            break;
        case CableKind::HangUp:
            // The cable takes in bytes up to the count, then goes: that block's echo is lost.
            if ((unsigned long long)s.value <= end) {
                run.failBlock = block, run.readFails = true, run.hungUp = true;
                run.writeFails = s.uartWrites && (unsigned long long)s.value < end;
            }
            break;
        case CableKind::Mismatch:
            if (s.value != RateOfBlock(block))
                run.failBlock = block;
            break;
        default: break;
        }
    }
    std::vector<std::string> passing = PassingLog();
    if (run.failBlock == 0) {
        run.log = passing;
        run.progress = 3;
        run.ok = true;
        run.consumed = streamStart + kBlock * kBlocks;
    } else if (run.rateRefused) {
        const size_t rateLine = kWriteLine[run.failBlock] - 1;
        run.log.assign(passing.begin(), passing.begin() + rateLine);
        run.log.push_back("Set baud rate to " + std::to_string(RateOfBlock(run.failBlock)) + " bps...\tFAILED!");
        run.progress = (run.failBlock - 1) / 2;
        run.consumed = streamStart + kBlock * (run.failBlock - 1);
    } else {
        run.log.assign(passing.begin(), passing.begin() + kWriteLine[run.failBlock] + (run.writeFails ? 0 : 1));
        if (run.writeFails)
            run.log.push_back(kWriteFailed);
        run.log.push_back(run.readFails ? kReadFailed : kCompareFailed);
        run.progress = (run.failBlock - 1) / 2;
        run.consumed = streamStart + kBlock * run.failBlock;
    }
    if (s.cable == CableKind::Stall)
        run.consumed = 0;
    if (run.hungUp)
        run.consumed = (unsigned long long)s.value;
    return run;
}

Pump PumpAt(const RunModel& run, size_t lines)
{
    if (lines == run.log.size())
        return Pump::AfterRun;
    if (lines == 1)
        return Pump::Long;
    const int lastBlock = run.failBlock == 0 ? kBlocks : run.failBlock;
    for (int block = 1; block <= lastBlock; ++block) {
        if (lines == kWriteLine[block] + 1)
            return Pump::Short;
        if (block < lastBlock && block < kBlocks && lines == kCompareLine[block] + 1)
            return Pump::Long;
    }
    return Pump::None;
}

std::vector<RunModel> ModelPull(const Scenario& s, unsigned long long pulledIn)
{
    const RunModel own = ModelRun(s, 0);
    const int whole = (int)(pulledIn / kBlock);
    std::vector<int> underWay;
    if (whole > 0 && pulledIn % kBlock == 0)
        underWay.push_back(whole); // its echo may not have been read yet
    underWay.push_back(whole + 1);
    std::vector<RunModel> runs;
    for (const int block : underWay) {
        if (own.failBlock != 0 && own.failBlock <= block) {
            runs.push_back(own);
            // A refused rate ends the run before its block is written.
            if (own.failBlock < block || own.rateRefused)
                continue;
        } else if (block > kBlocks) {
            runs.push_back(own); // pulled after the last read: the run passed
            continue;
        }
        RunModel pulled;
        const std::vector<std::string> passing = PassingLog();
        pulled.log.assign(passing.begin(), passing.begin() + kWriteLine[block]);
        pulled.log.push_back("Write 512 bytes... [*/512] \t*");
        pulled.log.push_back(kReadFailed);
        pulled.failBlock = block;
        pulled.readFails = true;
        pulled.hungUp = true;
        pulled.progress = (block - 1) / 2;
        pulled.consumed = pulledIn;
        runs.push_back(pulled);
        // Pulled before the rate's line was set: the setting fails on the gone port.
        if (block % 2 == 1 && pulledIn == kBlock * (block - 1)) {
            Scenario refused = s;
            refused.refusedRate = (block + 1) / 2;
            RunModel atRate = ModelRun(refused, 0);
            atRate.hungUp = true;
            atRate.consumed = pulledIn;
            runs.push_back(atRate);
        }
    }
    return runs;
}

bool LogMatches(const std::vector<std::string>& seen, const std::vector<std::string>& expected)
{
    return seen.size() == expected.size() && std::equal(seen.begin(), seen.end(), expected.begin(), Glob);
}

bool ModelStop(const RunModel& run, size_t lines, RunModel& stopped)
{
    stopped = run;
    const Pump pump = PumpAt(run, lines);
    if (pump == Pump::None || lines > run.log.size())
        return false;
    stopped.log.assign(run.log.begin(), run.log.begin() + lines);
    stopped.log.push_back(kCancelled);
    if (pump == Pump::AfterRun)
        return true;
    // Rates fully passed before the line at `lines`: each second compare line steps the bar.
    int passedBlocks = 0;
    for (int block = 1; block <= kBlocks; ++block)
        if (kCompareLine[block] < lines)
            passedBlocks = block;
    if (pump == Pump::Long) {
        stopped.ok = false;
        stopped.progress = passedBlocks / 2;
        return true;
    }
    // In the check's short pause: the check reads and compares regardless.
    const int block = passedBlocks + 1;
    stopped.log.push_back(run.log[kCompareLine[block]]);
    if (block == run.failBlock)
        return true;
    if (block == kBlocks) {
        stopped.log.push_back(run.log.back()); // the end line: the last check passed, OK
        return true;
    }
    stopped.ok = false;
    stopped.progress = block / 2;
    return true;
}
