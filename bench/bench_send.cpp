// SPDX-License-Identifier: MIT
//
// How long the software takes over one send, next to the time the frame then spends on the wire.
//
// TARGET: the software's share of a send (line breaks to CR LF, build the frame, format the dump,
// hand the frame to the port) stays under 1% of the frame's wire time. At 9600 bit/s 8N1 a byte
// takes 10 bits, 1.0417 ms; the shortest frame (1 code unit, 2 bytes) takes 2.08 ms, so its whole
// send must stay under 21 us median (20.8 us). Every case carries the target twice:
//   its name ends in budget_us:N, 1% of its frame's wire time: the median Time must stay below N;
//   its counter pct_of_wire is the measured time per call as a percentage of that wire time
//   (target: below 1; Google Benchmark prints tiny values with an SI prefix, 3.8m = 0.0038).
// The SendCommand cases are the target itself; FrameAndDump and ChannelOutput are its parts.
// ClickConvert is the same target seen from the window: from the click on the convert button to the
// frame handed to the OS, widgets included.
//
// The port is a pseudo-terminal (tests/ptypair.h), never a real /dev/ttyS*: a pty does not pace
// bytes at 9600 bit/s, so output() costs what the software costs, not the wire time. A reader
// thread drains the pty master all along, so the pty buffer never fills and output() never waits
// for room. Outside ClickConvert no widgets are involved: the monitor text goes into a plain QString.

#include "form1.h"
#include "formdesign.h"
#include "linebreaks.h"
#include "sendcommand.h"
#include "serialchannel.h"
#include "unicodeframe.h"

#include "masterdrain.h"
#include "ptypair.h"

#include <QByteArray>
#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include <dlfcn.h>
#include <unistd.h>

namespace {

// When the last write() to a terminal returned: the frame reaching the port, the only terminal this
// process writes to while a case's clock runs (the report, which may go to one, is written between
// cases). Set on the main thread, read there too.
std::chrono::steady_clock::time_point g_ttyWriteReturned;
} // namespace

// Stands in for libc's write() (the executable is linked with --export-dynamic, so Qt's calls come
// here) to note when the port's write returned.
extern "C" ssize_t write(int fd, const void *buffer, size_t count)
{
    using WriteFunction = ssize_t (*)(int, const void *, size_t);
    static const auto realWrite = reinterpret_cast<WriteFunction>(::dlsym(RTLD_NEXT, "write"));
    const ssize_t written = realWrite(fd, buffer, count);
    if (written > 0 && ::isatty(fd))
        g_ttyWriteReturned = std::chrono::steady_clock::now();
    return written;
}

namespace {

// Why the port failed, in the program's own words, for a benchmark that cannot run.
std::string words(const PortFailure &failure)
{
    return QString::fromStdU16String(FormDesign::portReason(failure)).toStdString();
}

constexpr double kBaudRate = 9600.0;
constexpr double kBitsPerByte = 10.0; // start bit, 8 data bits, stop bit
constexpr double kBudgetShare = 0.01; // the software may take 1% of the wire time

double wireTimeUs(qsizetype frameBytes)
{
    return static_cast<double>(frameBytes) * kBitsPerByte * 1e6 / kBaudRate;
}

double budgetUs(qsizetype frameBytes)
{
    return kBudgetShare * wireTimeUs(frameBytes);
}

// Mixed ASCII and Chinese, with a line break: the raw text a user might type. Starts with a Chinese
// character so that the 1-unit case is one too.
const std::u16string &pattern()
{
    static const std::u16string text = u"短信 QM47T 模块: 汉字 and ASCII 混合，第 7 行\n";
    return text;
}

// Raw input text that becomes exactly `codeUnits` code units once its line breaks are CR LF.
std::u16string rawText(int codeUnits)
{
    std::u16string raw;
    std::size_t converted = 0;
    for (std::size_t i = 0; converted < static_cast<std::size_t>(codeUnits); ++i) {
        char16_t unit = pattern()[i % pattern().size()];
        if (unit == u'\n' && converted + 2 > static_cast<std::size_t>(codeUnits))
            unit = u' '; // a CR LF would overshoot by one
        raw += unit;
        converted = lineBreaksToCrLf(raw).size();
    }
    return raw;
}

// Runs the timed loop; `body` returns false to stop (after SkipWithError). Times the loop itself as
// well, for the percentage counter.
template <typename Body> void runAgainstWireTime(benchmark::State &state, qsizetype frameBytes, Body &&body)
{
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!body())
            break;
    }
    const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;

    const double wireUs = wireTimeUs(frameBytes);
    if (state.iterations() > 0)
        state.counters["pct_of_wire"] =
            100.0 * elapsed.count() / (static_cast<double>(state.iterations()) * wireUs);
}

// COM1 stood in for by a pseudo-terminal with its master drained. Member order matters: the channel
// goes first (its close drains into the still-running reader), then the reader, then the pty.
struct PtyLine
{
    PtyPair pty;
    MasterDrain drain{pty.master()};
    SerialChannel channel{pty.slavePath()};

    // Opens the channel; on failure marks the benchmark skipped and returns false.
    bool open(benchmark::State &state)
    {
        if (!pty.isValid() || !drain.running()) {
            state.SkipWithError("cannot set up the pseudo-terminal and its reader");
            return false;
        }
        if (const SerialChannel::Failure failure = channel.open()) {
            state.SkipWithError(words(*failure).c_str());
            return false;
        }
        return true;
    }

    // After the timed loop: closes the channel and checks every byte written reached the master.
    void finish(benchmark::State &state, qint64 expectedBytes)
    {
        if (state.error_occurred())
            return;
        if (const SerialChannel::Failure failure = channel.close()) {
            state.SkipWithError(words(*failure).c_str());
            return;
        }
        if (!drain.waitForTotal(expectedBytes, std::chrono::seconds(2)) || drain.received() != expectedBytes)
            state.SkipWithError("the pty master did not receive exactly the bytes written");
        drain.stop();
    }
};

// 1. The pure core of a send: line breaks to CR LF, frame, monitor dump.
void benchFrameAndDump(benchmark::State &state, int units)
{
    const std::u16string raw = rawText(units);
    if (BuildUnicodeFrame(lineBreaksToCrLf(raw)).size() != 2 * static_cast<std::size_t>(units)) {
        state.SkipWithError("test text has the wrong length");
        return;
    }

    runAgainstWireTime(state, 2 * units, [&raw] {
        const std::u16string text = lineBreaksToCrLf(raw);
        const UnicodeFrame frame = BuildUnicodeFrame(text);
        const std::u16string dump = FormatMonitorDump(frame);
        benchmark::DoNotOptimize(frame.data());
        benchmark::DoNotOptimize(dump.data());
        benchmark::ClobberMemory();
        return true;
    });
}

// 2. One output() of a whole frame to the pty.
void benchChannelOutput(benchmark::State &state, int frameBytes)
{
    const int units = frameBytes / 2;
    const UnicodeFrame frame = BuildUnicodeFrame(lineBreaksToCrLf(rawText(units)));
    const auto frameBytes64 = static_cast<qint64>(frame.size());

    PtyLine line;
    if (!line.open(state))
        return;

    runAgainstWireTime(state, frameBytes64, [&] {
        if (const SerialChannel::Failure failure = line.channel.output(frame)) {
            state.SkipWithError(words(*failure).c_str());
            return false;
        }
        return true;
    });
    line.finish(state, static_cast<qint64>(state.iterations()) * frameBytes64);
}

// 3. The whole software share of a send: the Linux window's line breaks, then SendCommand with the
// channel's output to the pty.
void benchSendCommand(benchmark::State &state, int units)
{
    const std::u16string input = rawText(units);
    std::u16string monitor;

    PtyLine line;
    if (!line.open(state))
        return;

    const FrameOutput output = [&line](const UnicodeFrame &frame) { return line.channel.output(frame); };

    runAgainstWireTime(state, 2 * units, [&] {
        SendResult result = SendCommand(lineBreaksToCrLf(input), output);
        if (result.failure) {
            state.SkipWithError(result.failure->kind == SendFailure::Kind::Output
                                    ? words(*result.failure->output).c_str()
                                    : "the test text was refused");
            return false;
        }
        monitor = std::move(result.monitorText);
        benchmark::DoNotOptimize(monitor.data());
        return true;
    });
    if (!state.error_occurred() && monitor.size() != 2 + 3 * 2 * static_cast<std::size_t>(units) + 2)
        state.SkipWithError("the monitor does not show the dump");
    line.finish(state, static_cast<qint64>(state.iterations()) * 2 * units);
}

// 4. A click on the convert button of the real window (offscreen), against the pty, timed from the
// click to the moment the frame's write() to the port returned: the frame is then in the OS's hands.
// The handler goes on after that (dump, monitor box); its whole time is the counter handler_us.
void benchClickConvert(benchmark::State &state, int units)
{
    PtyPair pty;
    MasterDrain drain(pty.master());
    if (!pty.isValid() || !drain.running()) {
        state.SkipWithError("cannot set up the pseudo-terminal and its reader");
        return;
    }
    qint64 expectedBytes = 0;
    {
        Form1 form(pty.slavePath());
        if (!form.load()) {
            state.SkipWithError("cannot open the pseudo-terminal");
            return;
        }
        form.findChild<QPlainTextEdit *>(QStringLiteral("Text1"))
            ->setPlainText(QString::fromStdU16String(rawText(units)));
        auto *convert = form.findChild<QPushButton *>(QStringLiteral("Command1"));
        auto *monitor = form.findChild<QPlainTextEdit *>(QStringLiteral("Text2"));

        double handlerUs = 0;
        for (auto _ : state) {
            g_ttyWriteReturned = {};
            const auto start = std::chrono::steady_clock::now();
            convert->click();
            const auto end = std::chrono::steady_clock::now();
            if (g_ttyWriteReturned == std::chrono::steady_clock::time_point{}) {
                state.SkipWithError("the click wrote nothing to the port");
                break;
            }
            state.SetIterationTime(std::chrono::duration<double>(g_ttyWriteReturned - start).count());
            handlerUs += std::chrono::duration<double, std::micro>(end - start).count();
            // What the event loop does between two clicks of a user.
            QCoreApplication::processEvents();
        }
        if (state.iterations() > 0)
            state.counters["handler_us"] = handlerUs / static_cast<double>(state.iterations());
        expectedBytes = static_cast<qint64>(state.iterations()) * 2 * units;
        if (!state.error_occurred() && monitor->toPlainText().size() != 1 + 3 * 2 * units + 1)
            state.SkipWithError("the monitor does not show the dump");
    } // closing the window drains and releases the port
    if (!state.error_occurred() && !drain.waitForTotal(expectedBytes, std::chrono::seconds(2)))
        state.SkipWithError("the pty master did not receive every byte sent");
    drain.stop();
}

// Registers `run(state, arg)` as "<name>/<argName>:<arg>/budget_us:<1% of the wire time>", median of
// 9 repetitions in microseconds of wall time (the user waits for wall time, and output() partly
// waits in poll()), or of the time the case measures itself where it sets its iterations' time.
enum class Clock
{
    Wall,
    Manual
};

template <typename Run>
void registerCase(const char *name, Run run, const char *argName, int arg, qsizetype frameBytes,
                  Clock clock = Clock::Wall)
{
    char budget[32];
    std::snprintf(budget, sizeof budget, "%.1f", budgetUs(frameBytes));
    const std::string fullName =
        std::string(name) + '/' + argName + ':' + std::to_string(arg) + "/budget_us:" + budget;
    auto *benchmark = benchmark::RegisterBenchmark(fullName.c_str(),
                                                   [run, arg](benchmark::State &state) { run(state, arg); })
                          ->Repetitions(9)
                          ->ReportAggregatesOnly(true)
                          ->Unit(benchmark::kMicrosecond);
    if (clock == Clock::Manual)
        benchmark->UseManualTime();
    else
        benchmark->UseRealTime();
}

void registerCases()
{
    for (const int units : {1, 70, kMaxCodeUnits})
        registerCase("FrameAndDump", benchFrameAndDump, "units", units, 2 * units);
    for (const int bytes : {2, 2 * kMaxCodeUnits})
        registerCase("ChannelOutput", benchChannelOutput, "bytes", bytes, bytes);
    for (const int units : {1, kMaxCodeUnits})
        registerCase("SendCommand", benchSendCommand, "units", units, 2 * units);
    for (const int units : {1, kMaxCodeUnits})
        registerCase("ClickConvert", benchClickConvert, "units", units, 2 * units, Clock::Manual);
}

} // namespace

int main(int argc, char **argv)
{
    registerCases();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    // The window wants a GUI application object: offscreen unless told.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    benchmark::AddCustomContext(
        "target", "software share of a send < 1% of the frame's wire time at 9600 8N1 "
                  "(2-byte frame: 2.08 ms, so < 20.8 us median): median Time below each name's budget_us, "
                  "pct_of_wire below 1");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
