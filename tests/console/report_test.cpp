// The run report: what the recorder makes of its samples, what the live run feeds it from the
// driver's counters and transactions, a page that hostile names cannot break, and the demo's
// page as a browser opens it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "child_process.h"
#include "host/console/live_report.h"
#include "host/console/report_html.h"
#include "host/console/svg_plot.h"

namespace merixhost {
namespace {

using namespace std::chrono_literals;

const SteadyTime kT0 = SteadyTime{} + 1000s;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

TEST(RunReport, MarkupFromOutsideIsEscaped) {
    const std::pair<const char*, const char*> cases[] = {
        {R"(<script>alert("x")</script>)", "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;"},
        {"a&b's", "a&amp;b&#39;s"},
        {"\x01tab\tbell\x07\x7f", "?tab\tbell??"},
        {"Kessel \xc3\xbc 1", "Kessel \xc3\xbc 1"}, // UTF-8 passes
    };
    for (const auto& [in, want] : cases) {
        EXPECT_EQ(EscapeMarkup(in), want) << in;
    }
    // Every text that comes from outside, on a page.
    ReportRecorder rec;
    const std::string hostile = R"x(<img src=x onerror="alert(1)">)x";
    rec.Start({}, kT0, {hostile, hostile, hostile});
    rec.Note({}, hostile, hostile);
    rec.Counters(1, {{hostile, 1}});
    rec.Counters(0, {{hostile, 2}});
    const std::string page = ReportHtml(rec.Finish(kT0 + 2s));
    EXPECT_EQ(page.find("<img"), std::string::npos);
    EXPECT_EQ(Count(page, "&lt;img src=x onerror=&quot;alert(1)&quot;&gt;"), 8u) << page;
}

TEST(RunReport, IntervalsFollowTheRunsLength) {
    struct Case {
        double seconds, width, want;
    };
    const Case cases[] = {
        {6, 1, 1},         {59, 1, 1},        {61, 1, 2}, {3600, 1, 60},
        {86400, 32, 1440}, {90000, 32, 1504}, {0, 1, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReportIntervalSeconds(c.seconds, 60, c.width), c.want) << c.seconds;
    }
}

TEST(RunReport, SamplesLandInTheirIntervals) {
    ReportRecorder rec;
    rec.Start({}, kT0, {});
    rec.Turnaround(1, kT0 + 200ms, 5);
    rec.Turnaround(1, kT0 + 700ms, 9);
    rec.Turnaround(1, kT0 + 1500ms, 7);
    rec.Failures(1, kT0 + 1100ms, FailureKind::kCrc, 2);
    rec.Failures(1, kT0 + 2999ms, FailureKind::kEcho);
    rec.Successes(2, kT0 + 10ms, 4);
    rec.Events(2, kT0 + 3010ms, 3); // the run's last milliseconds go to its last interval
    rec.Turnaround(0, kT0, 1);      // the broadcast answers nobody: no station
    rec.WireTime(kT0 + 2500ms, 0.25);
    const RunReport r = rec.Finish(kT0 + 3010ms);

    ASSERT_EQ(r.Intervals(), 3u);
    EXPECT_EQ(r.intervalSeconds, 1);
    ASSERT_EQ(r.stations.size(), 2u);
    const auto& one = r.stations[0];
    ASSERT_EQ(one.station, 1);
    ASSERT_EQ(one.intervals.size(), 3u);
    EXPECT_EQ(one.intervals[0].turnarounds, 2u);
    EXPECT_EQ(one.intervals[0].turnaroundMin, 5);
    EXPECT_EQ(one.intervals[0].turnaroundMax, 9);
    EXPECT_EQ(one.intervals[0].TurnaroundMean(), 7);
    EXPECT_EQ(one.intervals[1].turnaroundMin, 7);
    EXPECT_EQ(one.intervals[1].turnaroundMax, 7);
    EXPECT_FALSE(one.intervals[2].TurnaroundMean());
    EXPECT_EQ(one.intervals[1].failures[static_cast<size_t>(FailureKind::kCrc)], 2u);
    EXPECT_EQ(one.intervals[2].failures[static_cast<size_t>(FailureKind::kEcho)], 1u);
    EXPECT_EQ(one.total.Failures(), 3u);
    EXPECT_EQ(one.total.turnaroundMin, 5);
    EXPECT_EQ(r.stations[1].intervals[0].successes, 4u);
    EXPECT_EQ(r.stations[1].intervals[2].events, 3u);
    EXPECT_EQ(r.wireSeconds, (std::vector<double>{0, 0, 0.25}));
    EXPECT_EQ(r.wireTotal, 0.25);
}

TEST(RunReport, LongRunsKeepTheirSamplesInPlace) {
    ReportRecorder rec;
    rec.Start({}, kT0, {});
    const auto at = [](int s) { return kT0 + std::chrono::seconds(s); };
    rec.Successes(3, at(0));
    rec.Successes(3, at(9999), 5); // beyond the first buckets' reach: they merge
    rec.Turnaround(3, at(5000), 4);
    rec.Turnaround(3, at(5001), 8);
    const RunReport r = rec.Finish(at(10000));
    EXPECT_EQ(r.intervalSeconds, 168); // 10000 / 60, whole, and a multiple of the 4 s buckets
    const auto& in = r.stations.at(0).intervals;
    ASSERT_EQ(in.size(), 60u);
    EXPECT_EQ(in[0].successes, 1u);
    EXPECT_EQ(in[59].successes, 5u);
    EXPECT_EQ(in[5000 / 168].turnarounds, 2u);
    EXPECT_EQ(in[5000 / 168].TurnaroundMean(), 6);
}

TEST(RunReport, OnlyTheNewestNotesAreKept) {
    ReportRecorder rec;
    rec.Start({}, kT0, {});
    for (size_t i = 0; i < ReportRecorder::kMaxNotes + 5; ++i) {
        rec.Note({}, "log", std::to_string(i));
    }
    const RunReport r = rec.Finish(kT0 + 1s);
    ASSERT_EQ(r.notes.size(), ReportRecorder::kMaxNotes);
    EXPECT_EQ(r.notesLeftOut, 5u);
    EXPECT_EQ(r.notes.front().text, "5");
    EXPECT_EQ(r.notes.back().text, std::to_string(ReportRecorder::kMaxNotes + 4));
    EXPECT_NE(ReportHtml(r).find("5 earlier ones are left out"), std::string::npos);
}

TEST(RunReport, AnEmptyRunStillMakesAWholePage) {
    ReportRecorder rec;
    rec.Start({}, kT0, {"/dev/ttyS0", "9600 8E1", "listening"});
    const std::string page = ReportHtml(rec.Finish(kT0));
    for (const char* part : {"<!DOCTYPE html>", "</html>", "No station was heard from", "None.",
                             "@page", "/dev/ttyS0"}) {
        EXPECT_NE(page.find(part), std::string::npos) << part;
    }
    EXPECT_EQ(Count(page, "<svg"), Count(page, "</svg>"));
    EXPECT_EQ(Count(page, "<section"), Count(page, "</section>"));
    EXPECT_EQ(page.find("nan"), std::string::npos) << "no number is lost on a run of 0 s";
}

// The live run: the driver's counters, read now and then, become samples.

StationTable Table(int station, std::initializer_list<std::pair<Counter, uint32_t>> values) {
    StationTable t{};
    t[static_cast<size_t>(station)].used = true;
    for (size_t i = 0; i < kCounterCount; ++i) {
        t[static_cast<size_t>(station)].counters[i] = 0;
    }
    for (const auto& [c, v] : values) {
        t[static_cast<size_t>(station)].counters[static_cast<size_t>(c)] = v;
    }
    return t;
}

TEST(LiveReport, EachFailureCounterFeedsItsOwnKind) {
    const std::pair<Counter, FailureKind> cases[] = {
        {Counter::kSilence, FailureKind::kSilence}, {Counter::kCrc, FailureKind::kCrc},
        {Counter::kWrong, FailureKind::kWrong},     {Counter::kException, FailureKind::kException},
        {Counter::kShort, FailureKind::kShort},     {Counter::kEcho, FailureKind::kEcho},
    };
    for (const auto& [counter, kind] : cases) {
        LiveReport live(Options{}, {});
        live.Start({}, kT0);
        live.OnStatistics(Table(4, {{counter, 2}, {Counter::kOk, 10}}), kT0);
        const RunReport r = live.Finish(Table(4, {{counter, 5}, {Counter::kOk, 10}}), kT0 + 1500ms);
        ASSERT_EQ(r.stations.size(), 1u);
        const auto& in = r.stations[0].intervals;
        ASSERT_EQ(in.size(), 2u);
        EXPECT_EQ(in[0].failures[static_cast<size_t>(kind)], 2u) << FailureName(kind);
        EXPECT_EQ(in[1].failures[static_cast<size_t>(kind)], 3u) << FailureName(kind);
        EXPECT_EQ(in[1].Failures(), 3u) << FailureName(kind);
        EXPECT_EQ(r.stations[0].total.successes, 10u);
    }
}

TEST(LiveReport, TurnaroundIsASampleOnlyWhenAReplyCame) {
    LiveReport live(Options{}, {});
    live.Start({}, kT0);
    live.OnStatistics(Table(2, {{Counter::kOk, 1}, {Counter::kTurnaround, 4000}}), kT0);
    // No transaction succeeded since: the same TURN is no new sample.
    live.OnStatistics(Table(2, {{Counter::kOk, 1}, {Counter::kTurnaround, 4000}}), kT0 + 1100ms);
    live.OnStatistics(Table(2, {{Counter::kOk, 3}, {Counter::kTurnaround, 6500}}), kT0 + 2100ms);
    // The driver started again: its counters count from 0.
    const RunReport r =
        live.Finish(Table(2, {{Counter::kOk, 2}, {Counter::kEvents, 4}}), kT0 + 3020ms);
    const auto& in = r.stations.at(0).intervals;
    ASSERT_EQ(in.size(), 3u);
    EXPECT_EQ(in[0].turnarounds, 1u);
    EXPECT_EQ(in[0].turnaroundMin, 4);
    EXPECT_EQ(in[1].turnarounds, 0u);
    EXPECT_EQ(in[2].turnarounds, 2u); // 6.5 ms, and the 0 of the restarted driver
    EXPECT_EQ(in[2].turnaroundMax, 6.5);
    EXPECT_EQ(r.stations[0].total.successes, 5u);
    EXPECT_EQ(r.stations[0].total.events, 4u);
    EXPECT_EQ(r.stations[0].counters.at(8), (std::pair<std::string, uint64_t>{"TURN us", 0}));
}

TEST(LiveReport, WireTimeOfEachKindOfAccess) {
    struct Case {
        const char* what;
        GateKind kind;
        int function, count;
        Access op;
        int result;
        int pollEvents;
        uint32_t request, reply;
    };
    const Case cases[] = {
        // station, function, address, count, CRC; station, function, byte count, data, CRC
        {"4 registers", GateKind::Block, 0x03, 4, Access::Read, 0, 0, 8, 5 + 8},
        {"1 register", GateKind::Single, 0x04, 1, Access::Read, 0, 0, 8, 5 + 2},
        {"16 coils", GateKind::Block, 0x01, 16, Access::Read, 0, 0, 8, 5 + 2},
        {"17 inputs", GateKind::Block, 0x02, 17, Access::Read, 0, 0, 8, 5 + 3},
        {"register written", GateKind::Single, 0x03, 1, Access::Write, 0, 0, 8, 8},
        {"failed read", GateKind::Single, 0x03, 1, Access::Read, 2, 0, 8, 0},
        {"refused", GateKind::Single, 0x03, 1, Access::Read, 1, 0, 0, 0},
        {"internal", GateKind::Internal, 0x03, 1, Access::Read, 0, 0, 0, 0},
        // station, function, CRC; station, function, byte count, 2 records of 8, CRC
        {"event poll", GateKind::EventPoll, 0x42, 0, Access::Read, 0, 2, 4, 5 + 16},
        // station, function, byte count, 8 fields of the time, CRC; no reply
        {"clock", GateKind::TimeSync, 0x46, 0, Access::Write, 0, 0, 13, 0},
    };
    for (const auto& c : cases) {
        GateState g;
        g.kind = c.kind;
        g.rec.function = c.function;
        g.rec.count = c.count;
        g.lastPollEvents = c.pollEvents;
        EXPECT_EQ(AccessBytes(g, c.op, c.result), std::make_pair(c.request, c.reply)) << c.what;
    }
    Options o;
    o.baud = 9600;
    o.parityCode = 2;
    EXPECT_DOUBLE_EQ(CharacterSeconds(o), 11.0 / 9600);
    o.parityCode = 0;
    o.stopBitsCode = 2;
    o.baud = 19200;
    EXPECT_DOUBLE_EQ(CharacterSeconds(o), 11.0 / 19200);
    o.dataBits = 7;
    o.stopBitsCode = 1;
    EXPECT_DOUBLE_EQ(CharacterSeconds(o), 9.5 / 19200);
}

// The demo's page, opened as a user would open it.

class ReportPage : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "merixreport.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir;
};

/// The station sections of the page and the plots in each.
std::map<int, size_t> PlotsPerStation(const std::string& page) {
    std::map<int, size_t> plots;
    const std::regex open(R"x(<section class="station" id="station-(\d+)">)x");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), open);
         it != std::sregex_iterator(); ++it) {
        const size_t begin = static_cast<size_t>(it->position());
        const size_t end = page.find("</section>", begin);
        plots[std::stoi((*it)[1])] = Count(page.substr(begin, end - begin), "<svg");
    }
    return plots;
}

TEST_F(ReportPage, DemoReportOpensInABrowserWithoutTheNetwork) {
    const std::string html = dir + "/run.html";
    test::ChildProcess host({MERIXHOST_EXE, "--duration", "6", "--plain", "--report", html},
                            dir + "/output.txt");
    ASSERT_EQ(host.Wait(180s), 0) << test::ReadText(dir + "/output.txt");
    const std::string output = test::ReadText(dir + "/output.txt");
    EXPECT_NE(output.find("  report: " + html), std::string::npos) << output;

    const std::string page = test::ReadText(html);
    EXPECT_EQ(PlotsPerStation(page), (std::map<int, size_t>{{1, 3}, {2, 3}, {3, 3}})) << page;
    EXPECT_NE(page.find("Time on the wire: "), std::string::npos);
    EXPECT_NE(page.find(", estimated from"), std::string::npos);
    EXPECT_NE(page.find("The driver's counters of the whole line"), std::string::npos);
    EXPECT_EQ(page.find("http://"), std::string::npos);
    EXPECT_EQ(page.find("https://"), std::string::npos);
    EXPECT_NE(page.find("burner_on"), std::string::npos) << "the demo's events are listed";

    if (!std::filesystem::exists("/usr/bin/chromium")) {
        GTEST_SKIP() << "no /usr/bin/chromium (scripts/deps.sh chromium): the page is not opened";
    }
    const std::string png = dir + "/run.png";
    const std::string log = dir + "/chromium.txt";
    test::ChildProcess browser({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                                "--enable-logging=stderr", "--v=0", "--screenshot=" + png,
                                "--window-size=1240,1754", "file://" + html},
                               log);
    ASSERT_EQ(browser.Wait(180s), 0) << test::ReadText(log);
    // Chromium's own complaints (no D-Bus in a container) are no fault of the page.
    std::istringstream lines(test::ReadText(log));
    for (std::string line; std::getline(lines, line);) {
        const bool aboutPage =
            line.find("CONSOLE") != std::string::npos ||
            line.find("Uncaught") != std::string::npos ||
            line.find("Failed to load") != std::string::npos ||
            line.find("net::ERR") != std::string::npos ||
            (line.find("ERROR") != std::string::npos && line.find(html) != std::string::npos);
        EXPECT_FALSE(aboutPage) << line;
    }
    const std::string image = test::ReadText(png);
    ASSERT_GT(image.size(), 1000u);
    EXPECT_EQ(image.substr(1, 3), "PNG");
}

TEST_F(ReportPage, APageThatCannotBeWrittenLeavesTheExitCode) {
    const std::string html = dir + "/no/such/dir/run.html";
    test::ChildProcess host({MERIXHOST_EXE, "--duration", "1", "--plain", "--report", html},
                            dir + "/output.txt");
    EXPECT_EQ(host.Wait(180s), 0);
    const std::string output = test::ReadText(dir + "/output.txt");
    EXPECT_NE(output.find("merixhost: cannot write the report '" + html + "'"), std::string::npos)
        << output;
    EXPECT_EQ(output.find("  report: "), std::string::npos) << output;
}

} // namespace
} // namespace merixhost
