#include "BotResult.h"

#include "ops/JsonText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <sstream>

void CBotCounters::Merge(const CBotCounters& o)
{
    connected += o.connected;
    entered += o.entered;
    decoding += o.decoding;
    refused += o.refused;
    cutOff += o.cutOff;
    movesSent += o.movesSent;
    movesAnswered += o.movesAnswered;
    movesSkipped += o.movesSkipped;
    attacksSent += o.attacksSent;
    attacksAnswered += o.attacksAnswered;
    areasSent += o.areasSent;
    talksSent += o.talksSent;
    movesUnchecked += o.movesUnchecked;
    attacksUnchecked += o.attacksUnchecked;
    actionsLate += o.actionsLate;
    framesReceived += o.framesReceived;
    bytesReceived += o.bytesReceived;
    bytesDecoded += o.bytesDecoded;
    deflateAgreed += o.deflateAgreed;
    protocolErrors += o.protocolErrors;
    idleConnected += o.idleConnected;
    idleClosed += o.idleClosed;
    for (const auto& [code, count] : o.closes) {
        closes[code] += count;
    }
    cuts += o.cuts;
    silenceCuts += o.silenceCuts;
    resumesOk += o.resumesOk;
    resumesRefused += o.resumesRefused;
    for (const auto& [name, count] : o.resumeRefusals) {
        resumeRefusals[name] += count;
    }
    resumesAbandoned += o.resumesAbandoned;
    cutsWithoutToken += o.cutsWithoutToken;
    movesUndelivered += o.movesUndelivered;
    attacksUndelivered += o.attacksUndelivered;
}

bool CBotResult::Failed() const
{
    return counters.entered < users || counters.refused > 0 || counters.cutOff > 0 || counters.protocolErrors > 0 ||
           movesUnanswered > 0 || counters.movesSkipped > 0 || attacksUnanswered > 0 || counters.resumesRefused > 0 ||
           counters.resumesAbandoned > 0 || counters.cutsWithoutToken > 0 || framesLost > 0 || framesRepeated > 0 || framesUnmatched > 0 ||
           controlBroken;
}

double CBotResult::WireBytesPerUserS() const
{
    return static_cast<double>(loadBytes) / std::max(durationS, 1e-9) /
           std::max<double>(1, static_cast<double>(counters.entered));
}

double CBotResult::DecodedBytesPerUserS() const
{
    return static_cast<double>(loadDecoded) / std::max(durationS, 1e-9) /
           std::max<double>(1, static_cast<double>(counters.decoding));
}

namespace {

double Ms(uint64_t micros) { return static_cast<double>(micros) / 1000.0; }

std::string Fixed(double value, int digits)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string HtmlEscape(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

template <class T>
std::string OptionalJson(const std::optional<T>& value, int digits = 3)
{
    if (!value) {
        return "null";
    }
    if constexpr (std::is_floating_point_v<T>) {
        return Fixed(*value, digits);
    } else {
        return std::to_string(*value);
    }
}

std::optional<double> CpuPerFrameUs(const CBotResult& r)
{
    if (!r.serverCpuS || r.loadFrames == 0) {
        return std::nullopt;
    }
    return *r.serverCpuS * 1e6 / static_cast<double>(r.loadFrames);
}

std::string RefusalsText(const CBotCounters& c)
{
    std::string text;
    for (const auto& [name, count] : c.resumeRefusals) {
        text += (text.empty() ? "" : ", ") + name + " x" + std::to_string(count);
    }
    return text.empty() ? "none" : text;
}

std::string ClosesText(const CBotCounters& c)
{
    if (c.closes.empty()) {
        return "none";
    }
    std::string text;
    for (const auto& [code, count] : c.closes) {
        text += (text.empty() ? "" : ", ") + std::to_string(code) + " x" + std::to_string(count);
    }
    return text;
}

} // namespace

void WriteSummary(std::ostream& out, const CBotResult& r)
{
    const CBotCounters& c = r.counters;
    const double seconds = std::max(r.durationS, 1e-9);
    out << "corvane-bot: " << r.users << " players at " << Fixed(r.rate, 1) << " actions/s against " << r.url
        << " for " << Fixed(r.durationS, 1) << " s on " << r.threads << " threads\n";
    out << "  players      " << c.entered << " entered, " << c.refused << " refused, " << c.cutOff << " cut off";
    if (r.idle > 0) {
        out << "; idle connections " << c.idleConnected << "/" << r.idle;
    }
    out << "\n";
    if (r.decodeSample > 0) {
        out << "  sample       " << c.decoding << " players decode everything; the moves, attacks, latencies and bytes "
            << "decoded below are theirs alone.\n"
            << "               The other " << c.entered - c.decoding << " only read frame headers once entered: "
            << c.movesUnchecked << " moves and " << c.attacksUnchecked << " attacks they sent are not checked\n";
    }
    out << "  " << std::left << std::setw(9) << "" << std::right << std::setw(10) << "sent" << std::setw(10) << "answered"
        << std::setw(10) << "missing" << std::setw(9) << "p50 ms" << std::setw(9) << "p99 ms" << std::setw(10)
        << "p99.9 ms" << std::setw(9) << "max ms" << "\n";
    auto row = [&](const char* name, uint64_t sent, uint64_t answered, uint64_t missing, const CLatencyHistogram& h) {
        out << "  " << std::left << std::setw(9) << name << std::right << std::setw(10) << sent << std::setw(10)
            << answered << std::setw(10) << missing << std::setw(9) << Fixed(Ms(h.Quantile(0.5)), 2) << std::setw(9)
            << Fixed(Ms(h.Quantile(0.99)), 2) << std::setw(10) << Fixed(Ms(h.Quantile(0.999)), 2) << std::setw(9)
            << Fixed(Ms(h.Max()), 2) << "\n";
    };
    row("moves", c.movesSent, c.movesAnswered, r.movesUnanswered + c.movesSkipped, r.moves);
    row("attacks", c.attacksSent, c.attacksAnswered, r.attacksUnanswered, r.attacks);
    out << "  other        " << c.areasSent << " of the attacks were area attacks; " << c.talksSent << " chat lines (never answered)"
        << (c.actionsLate ? ", " + std::to_string(c.actionsLate) + " actions dropped: the bot fell behind" : "") << "\n";
    out << "  received     " << c.framesReceived << " frames, " << Fixed(static_cast<double>(c.bytesReceived) / 1e6, 1)
        << " MB; in the load phase " << Fixed(static_cast<double>(r.loadFrames) / seconds, 0) << " frames/s, "
        << Fixed(static_cast<double>(r.loadBytes) / seconds / 1e6, 1) << " MB/s\n";
    out << "  per player   " << Fixed(r.WireBytesPerUserS() / 1e3, 1) << " KB/s on the wire ("
        << Fixed(r.WireBytesPerUserS() * 8 / 1e6, 2) << " Mbit/s), " << Fixed(r.DecodedBytesPerUserS() / 1e3, 1)
        << " KB/s decoded" << (r.decodeSample > 0 ? " (per decoding player)" : "");
    if (r.deflate) {
        out << "; permessage-deflate on " << c.deflateAgreed << " of " << c.connected << " connections";
    }
    out << "\n";
    out << "  closes       " << ClosesText(c) << "\n";
    if (r.resumes) {
        out << "  resumes      " << c.cuts << " connections cut (" << Fixed(r.chaos, 1) << "/s), " << c.silenceCuts
            << " given up as silent; " << c.resumesOk << " resumed, " << c.resumesRefused << " refused ("
            << RefusalsText(c) << "), " << c.cutsWithoutToken << " held no token, " << c.resumesAbandoned
            << " never got back; cut to resumed p50 "
            << Fixed(Ms(r.resumeTimes.Quantile(0.5)), 2) << " ms, p99 " << Fixed(Ms(r.resumeTimes.Quantile(0.99)), 2)
            << " ms, max " << Fixed(Ms(r.resumeTimes.Max()), 2) << " ms\n";
        if (c.movesUndelivered + c.attacksUndelivered > 0) {
            out << "  undelivered  " << c.movesUndelivered << " moves and " << c.attacksUndelivered
                << " attacks went out on connections then given up as dead and never reached the host (not in the "
                   "missing counts above)\n";
        }
        out << "  frames       " << r.framesCompared << " compared with the control's: " << r.framesLost << " lost, "
            << r.framesRepeated << " repeated, " << r.framesUnmatched << " unmatched (" << r.framesSkipped
            << " not comparable)" << (r.controlBroken ? "; the control itself was cut: no sound reference" : "")
            << "\n";
    }
    out << "  CPU          bot " << Fixed(r.botCpuS, 2) << " s (" << Fixed(r.botCpuS / seconds * 100, 0) << " %)";
    if (r.serverCpuS) {
        out << ", server " << Fixed(*r.serverCpuS, 2) << " s (" << Fixed(*r.serverCpuS / seconds * 100, 0)
            << " %), " << Fixed(*CpuPerFrameUs(r), 2) << " us per delivered frame";
    }
    out << "\n";
    if (r.serverRssKiB) {
        out << "  server RSS   " << *r.serverRssKiB << " KiB";
        if (r.serverRssBeforeKiB) {
            out << " (" << *r.serverRssBeforeKiB << " KiB before the connections)";
        }
        out << "\n";
    }
    out << "  result       " << (r.Failed() ? "FAILED" : "ok") << "\n";
}

void WriteJson(std::ostream& out, const CBotResult& r)
{
    const CBotCounters& c = r.counters;
    std::string closes;
    for (const auto& [code, count] : c.closes) {
        closes += (closes.empty() ? "" : ", ") + std::string("\"") + std::to_string(code) + "\": " + std::to_string(count);
    }
    std::string refusals;
    for (const auto& [name, count] : c.resumeRefusals) {
        refusals += (refusals.empty() ? "" : ", ") + JsonQuote(name) + ": " + std::to_string(count);
    }
    std::string timeline;
    for (const CBotSecond& s : r.seconds) {
        timeline += std::string(timeline.empty() ? "" : ",\n    ") + "{\"t\": " + Fixed(s.t, 2) +
                    ", \"moves_sent\": " + Fixed(s.movesSent, 0) + ", \"moves_answered\": " + Fixed(s.movesAnswered, 0) +
                    ", \"moves_unchecked\": " + Fixed(s.movesUnchecked, 0) +
                    ", \"move_p50_ms\": " + Fixed(s.moveP50Ms, 3) + ", \"move_p99_ms\": " + Fixed(s.moveP99Ms, 3) +
                    ", \"wire_bytes_per_user_s\": " + Fixed(s.wireBytesPerUser, 0) +
                    ", \"decoded_bytes_per_user_s\": " + Fixed(s.decodedBytesPerUser, 0) +
                    ", \"server_cpu\": " + OptionalJson(s.serverCpu) + "}";
    }
    out << "{\n"
        << "  \"url\": " << JsonQuote(r.url) << ",\n"
        << "  \"users\": " << r.users << ",\n"
        << "  \"users_entered\": " << c.entered << ",\n"
        << "  \"users_refused\": " << c.refused << ",\n"
        << "  \"users_cut_off\": " << c.cutOff << ",\n"
        << "  \"rate\": " << Fixed(r.rate, 3) << ",\n"
        << "  \"threads\": " << r.threads << ",\n"
        << "  \"moves_sent\": " << c.movesSent << ",\n"
        << "  \"moves_answered\": " << c.movesAnswered << ",\n"
        << "  \"moves_unanswered\": " << r.movesUnanswered + c.movesSkipped << ",\n"
        << "  \"moves_sent_unchecked\": " << c.movesUnchecked << ",\n"
        << "  \"attacks_sent_unchecked\": " << c.attacksUnchecked << ",\n"
        << "  \"decode_sample\": " << r.decodeSample << ",\n"
        << "  \"users_decoding\": " << c.decoding << ",\n"
        << "  \"move_p50_ms\": " << Fixed(Ms(r.moves.Quantile(0.5)), 3) << ",\n"
        << "  \"move_p99_ms\": " << Fixed(Ms(r.moves.Quantile(0.99)), 3) << ",\n"
        << "  \"move_p999_ms\": " << Fixed(Ms(r.moves.Quantile(0.999)), 3) << ",\n"
        << "  \"move_max_ms\": " << Fixed(Ms(r.moves.Max()), 3) << ",\n"
        << "  \"move_mean_ms\": " << Fixed(r.moves.Mean() / 1000.0, 3) << ",\n"
        << "  \"attacks_sent\": " << c.attacksSent << ",\n"
        << "  \"attacks_answered\": " << c.attacksAnswered << ",\n"
        << "  \"attack_p50_ms\": " << Fixed(Ms(r.attacks.Quantile(0.5)), 3) << ",\n"
        << "  \"attack_p99_ms\": " << Fixed(Ms(r.attacks.Quantile(0.99)), 3) << ",\n"
        << "  \"areas_sent\": " << c.areasSent << ",\n"
        << "  \"talks_sent\": " << c.talksSent << ",\n"
        << "  \"actions_late\": " << c.actionsLate << ",\n"
        << "  \"frames_received\": " << c.framesReceived << ",\n"
        << "  \"bytes_received\": " << c.bytesReceived << ",\n"
        << "  \"load_frames_received\": " << r.loadFrames << ",\n"
        << "  \"load_bytes_received\": " << r.loadBytes << ",\n"
        << "  \"load_bytes_decoded\": " << r.loadDecoded << ",\n"
        << "  \"wire_bytes_per_user_s\": " << Fixed(r.WireBytesPerUserS(), 0) << ",\n"
        << "  \"decoded_bytes_per_user_s\": " << Fixed(r.DecodedBytesPerUserS(), 0) << ",\n"
        << "  \"deflate\": " << (r.deflate ? "true" : "false") << ",\n"
        << "  \"deflate_agreed\": " << c.deflateAgreed << ",\n"
        << "  \"protocol_errors\": " << c.protocolErrors << ",\n"
        << "  \"closes\": {" << closes << "},\n"
        << "  \"chaos\": " << Fixed(r.chaos, 3) << ",\n"
        << "  \"cuts\": " << c.cuts << ",\n"
        << "  \"silence_cuts\": " << c.silenceCuts << ",\n"
        << "  \"resumes_ok\": " << c.resumesOk << ",\n"
        << "  \"resumes_refused\": " << c.resumesRefused << ",\n"
        << "  \"resume_refusals\": {" << refusals << "},\n"
        << "  \"resumes_abandoned\": " << c.resumesAbandoned << ",\n"
        << "  \"cuts_without_token\": " << c.cutsWithoutToken << ",\n"
        << "  \"moves_undelivered\": " << c.movesUndelivered << ",\n"
        << "  \"attacks_undelivered\": " << c.attacksUndelivered << ",\n"
        << "  \"resume_p50_ms\": " << Fixed(Ms(r.resumeTimes.Quantile(0.5)), 3) << ",\n"
        << "  \"resume_p99_ms\": " << Fixed(Ms(r.resumeTimes.Quantile(0.99)), 3) << ",\n"
        << "  \"resume_max_ms\": " << Fixed(Ms(r.resumeTimes.Max()), 3) << ",\n"
        << "  \"frames_compared\": " << r.framesCompared << ",\n"
        << "  \"frames_lost\": " << r.framesLost << ",\n"
        << "  \"frames_repeated\": " << r.framesRepeated << ",\n"
        << "  \"frames_unmatched\": " << r.framesUnmatched << ",\n"
        << "  \"frames_not_comparable\": " << r.framesSkipped << ",\n"
        << "  \"control_broken\": " << (r.controlBroken ? "true" : "false") << ",\n"
        << "  \"idle\": " << r.idle << ",\n"
        << "  \"idle_connected\": " << c.idleConnected << ",\n"
        << "  \"duration_s\": " << Fixed(r.durationS, 3) << ",\n"
        << "  \"bot_cpu_s\": " << Fixed(r.botCpuS, 3) << ",\n"
        << "  \"server_cpu_s\": " << OptionalJson(r.serverCpuS) << ",\n"
        << "  \"server_cpu_us_per_frame\": " << OptionalJson(CpuPerFrameUs(r)) << ",\n"
        << "  \"server_rss_kib\": " << OptionalJson(r.serverRssKiB) << ",\n"
        << "  \"server_rss_before_kib\": " << OptionalJson(r.serverRssBeforeKiB) << ",\n"
        << "  \"ok\": " << (r.Failed() ? "false" : "true") << ",\n"
        << "  \"timeline\": [\n    " << timeline << "\n  ]\n"
        << "}\n";
}

namespace {

constexpr double kChartW = 640;
constexpr double kChartH = 220;
constexpr double kPadL = 56;
constexpr double kPadB = 28;
constexpr double kPadT = 24;

struct CSeries {
    std::string name;
    std::string color;
    std::vector<std::pair<double, double>> points;
};

double NiceCeiling(double value)
{
    if (value <= 0) {
        return 1;
    }
    const double step = std::pow(10.0, std::floor(std::log10(value)));
    for (const double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * step >= value) {
            return m * step;
        }
    }
    return 10 * step;
}

int LabelDigits(double step)
{
    if (step >= 1 && std::floor(step) == step) {
        return 0;
    }
    return step >= 1 ? 1 : 2;
}

// Axes, four horizontal grid lines with labels, and the frame of one chart.
void SvgFrame(std::ostream& out, const std::string& title, double yMax, const std::string& xLabel)
{
    out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kChartW << "\" height=\"" << kChartH
        << "\" font-family=\"sans-serif\" font-size=\"11\">\n"
        << "<text x=\"" << kPadL << "\" y=\"14\" font-size=\"13\" font-weight=\"bold\">" << HtmlEscape(title)
        << "</text>\n";
    const double plotH = kChartH - kPadB - kPadT;
    for (int i = 0; i <= 4; ++i) {
        const double y = kPadT + plotH - plotH * i / 4;
        out << "<line x1=\"" << kPadL << "\" x2=\"" << kChartW - 8 << "\" y1=\"" << y << "\" y2=\"" << y
            << "\" stroke=\"#ddd\"/><text x=\"" << kPadL - 4 << "\" y=\"" << y + 4 << "\" text-anchor=\"end\">"
            << Fixed(yMax * i / 4, LabelDigits(yMax / 4)) << "</text>\n";
    }
    out << "<text x=\"" << (kPadL + kChartW - 8) / 2 << "\" y=\"" << kChartH - 4 << "\" text-anchor=\"middle\">"
        << HtmlEscape(xLabel) << "</text>\n";
}

void SvgLines(std::ostream& out, const std::string& title, const std::vector<CSeries>& series)
{
    double xMax = 1;
    double yMax = 0;
    for (const CSeries& s : series) {
        for (const auto& [x, y] : s.points) {
            xMax = std::max(xMax, x);
            yMax = std::max(yMax, y);
        }
    }
    yMax = NiceCeiling(yMax);
    SvgFrame(out, title, yMax, "seconds into the load");
    const double plotW = kChartW - kPadL - 8;
    const double plotH = kChartH - kPadB - kPadT;
    double legendX = kChartW - 8 - 130.0 * static_cast<double>(series.size());
    for (const CSeries& s : series) {
        out << "<polyline fill=\"none\" stroke-width=\"1.5\" stroke=\"" << s.color << "\" points=\"";
        for (const auto& [x, y] : s.points) {
            out << Fixed(kPadL + plotW * x / xMax, 1) << "," << Fixed(kPadT + plotH - plotH * y / yMax, 1) << " ";
        }
        out << "\"/>\n<text x=\"" << legendX << "\" y=\"14\" fill=\"" << s.color << "\">" << HtmlEscape(s.name)
            << "</text>\n";
        legendX += 130;
    }
    out << "<text x=\"" << kPadL << "\" y=\"" << kChartH - 12 << "\">0</text><text x=\"" << kChartW - 8 << "\" y=\""
        << kChartH - 12 << "\" text-anchor=\"end\">" << Fixed(xMax, 0) << "</text>\n</svg>\n";
}

// Bars over a logarithmic latency axis: the histogram's own buckets are
// too fine to draw, so they are summed into 40 bins per run.
void SvgHistogram(std::ostream& out, const CLatencyHistogram& h)
{
    constexpr int kBins = 40;
    const double lo = std::log10(std::max<double>(1, static_cast<double>(h.Min())));
    const double hi = std::max(lo + 1, std::log10(std::max<double>(2, static_cast<double>(h.Max()) + 1)));
    std::vector<uint64_t> bins(kBins, 0);
    for (std::size_t i = 0; i < CLatencyHistogram::kBucketCount; ++i) {
        const uint64_t n = h.BucketCount(i);
        if (n == 0) {
            continue;
        }
        const double mid = std::log10(std::max<double>(1, static_cast<double>(CLatencyHistogram::BucketLow(i))));
        const int bin = std::clamp(static_cast<int>((mid - lo) / (hi - lo) * kBins), 0, kBins - 1);
        bins[static_cast<std::size_t>(bin)] += n;
    }
    const double yMax = NiceCeiling(static_cast<double>(*std::max_element(bins.begin(), bins.end())));
    SvgFrame(out, "Move latency (moves per bin, log scale of ms)", yMax, "");
    const double plotW = kChartW - kPadL - 8;
    const double plotH = kChartH - kPadB - kPadT;
    const double barW = plotW / kBins;
    for (int b = 0; b < kBins; ++b) {
        const double height = plotH * static_cast<double>(bins[static_cast<std::size_t>(b)]) / yMax;
        out << "<rect x=\"" << Fixed(kPadL + b * barW, 1) << "\" y=\"" << Fixed(kPadT + plotH - height, 1)
            << "\" width=\"" << Fixed(barW - 1, 1) << "\" height=\"" << Fixed(height, 1) << "\" fill=\"#3b7dd8\"/>\n";
    }
    for (int tick = 0; tick <= 4; ++tick) {
        const double exponent = lo + (hi - lo) * tick / 4;
        out << "<text x=\"" << Fixed(kPadL + plotW * tick / 4, 1) << "\" y=\"" << kChartH - 12
            << "\" text-anchor=\"" << (tick == 0 ? "start" : tick == 4 ? "end" : "middle") << "\">"
            << Fixed(std::pow(10.0, exponent) / 1000.0, 2) << " ms</text>\n";
    }
    out << "</svg>\n";
}

} // namespace

void WriteHtml(std::ostream& out, const CBotResult& r)
{
    out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>corvane-bot report</title>\n"
        << "<style>body{font-family:sans-serif;margin:2em;max-width:60em}pre{background:#f4f4f4;padding:1em}"
           "svg{display:block;margin:1em 0}</style></head><body>\n"
        << "<h1>corvane-bot report</h1>\n<pre>";
    std::ostringstream summary;
    WriteSummary(summary, r);
    out << HtmlEscape(summary.str()) << "</pre>\n";
    SvgHistogram(out, r.moves);
    CSeries sent{"moves sent/s", "#888", {}};
    CSeries answered{"moves answered/s", "#3b7dd8", {}};
    CSeries unchecked{"unchecked sent/s", "#bbb", {}};
    CSeries p50{"p50 ms", "#3b7dd8", {}};
    CSeries p99{"p99 ms", "#d83b3b", {}};
    CSeries cpu{"server CPU (cores)", "#d83b3b", {}};
    CSeries wire{"on the wire", "#d83b3b", {}};
    CSeries decoded{"decoded", "#3b7dd8", {}};
    for (const CBotSecond& s : r.seconds) {
        sent.points.emplace_back(s.t, s.movesSent);
        answered.points.emplace_back(s.t, s.movesAnswered);
        unchecked.points.emplace_back(s.t, s.movesUnchecked);
        p50.points.emplace_back(s.t, s.moveP50Ms);
        p99.points.emplace_back(s.t, s.moveP99Ms);
        wire.points.emplace_back(s.t, s.wireBytesPerUser / 1e3);
        decoded.points.emplace_back(s.t, s.decodedBytesPerUser / 1e3);
        if (s.serverCpu) {
            cpu.points.emplace_back(s.t, *s.serverCpu);
        }
    }
    if (r.decodeSample > 0) {
        SvgLines(out, "Moves per second (answers checked for the decoding players only)", {sent, answered, unchecked});
        SvgLines(out, "Move latency per second (ms), decoding players", {p50, p99});
        SvgLines(out, "KB per player per second (decoded: per decoding player)", {decoded, wire});
    } else {
        SvgLines(out, "Moves per second", {sent, answered});
        SvgLines(out, "Move latency per second (ms)", {p50, p99});
        SvgLines(out, "KB per player per second", {decoded, wire});
    }
    if (!cpu.points.empty()) {
        SvgLines(out, "Server CPU", {cpu});
    }
    out << "</body></html>\n";
}
