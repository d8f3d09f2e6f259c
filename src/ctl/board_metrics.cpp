// SPDX-License-Identifier: Apache-2.0
#include "ctl/board_metrics.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ctl {

namespace {

using qfclient::Outcome;

// A member of `v`; null when `v` is no object or lacks it.
const Json::Value& member(const Json::Value& v, const char* name) {
    static const Json::Value none;
    if (!v.isObject()) return none;
    const Json::Value* found = v.find(name, name + std::strlen(name));
    return found != nullptr ? *found : none;
}

// A whole number within 64 bits, whatever JSON type holds it.
std::optional<std::int64_t> integer(const Json::Value& v) {
    if (!v.isIntegral()) return std::nullopt;
    if (v.isInt64()) return v.asInt64();
    return std::nullopt;  // above 2^63: nothing the board sends
}

// Millidegrees as the board sends them: 32 bits, unsigned on the wire. 0 is no reading;
// anything beyond 32 bits or below absolute zero is not a reading either.
std::optional<double> celsius(const Json::Value& v) {
    std::optional<std::int64_t> milli = integer(v);
    constexpr std::int64_t kWrap = std::int64_t{1} << 32;
    constexpr std::int64_t kAbsoluteZero = -273150;
    if (!milli || *milli == 0 || *milli >= kWrap || *milli < INT32_MIN) return std::nullopt;
    // Above 2^31: the two's complement of a reading below zero.
    if (*milli > INT32_MAX) *milli -= kWrap;
    if (*milli < kAbsoluteZero) return std::nullopt;
    return static_cast<double>(*milli) / 1000.0;
}

// A flag the board sends as one of two numbers; anything else is no reading.
std::optional<bool> flag(const Json::Value& v, std::int64_t yes, std::int64_t no) {
    const std::optional<std::int64_t> n = integer(v);
    if (n == yes) return true;
    if (n == no) return false;
    return std::nullopt;
}

std::string labels(const InventoryBoard& board) {
    std::string text = "board=\"" + labelValue(board.name) + "\"";
    if (board.network) {
        text += ",idc=\"" + labelValue(board.network->idc) + "\"";
        if (board.network->podId) text += ",pod=\"" + std::to_string(*board.network->podId) + "\"";
    }
    return "{" + text + "}";
}

std::string header(const char* name, const char* help) {
    return std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
}

struct Metric {
    const char* name;
    const char* help;
    // The value of a board; unset: no sample.
    std::optional<double> (*value)(const BoardMetrics&);
};

bool answered(Outcome o) {
    return o == Outcome::Ok || o == Outcome::Failed || o == Outcome::Malformed;
}

std::optional<double> asNumber(std::optional<bool> b) {
    if (!b) return std::nullopt;
    return *b ? 1.0 : 0.0;
}

std::vector<Metric> metrics(bool stat) {
    std::vector<Metric> list = {
        {"quillferry_board_up",
         "Whether the board answered (1) or not (0); none while its line is busy.",
         [](const BoardMetrics& r) -> std::optional<double> {
             if (r.outcome == Outcome::Busy) return std::nullopt;
             return r.outcome == Outcome::Ok ? 1.0 : 0.0;
         }},
        {"quillferry_board_line_busy",
         "Whether another client held the board's line (1), so that it was not asked, or not (0).",
         [](const BoardMetrics& r) -> std::optional<double> {
             return r.outcome == Outcome::Busy ? 1.0 : 0.0;
         }},
        {"quillferry_board_round_trip_seconds",
         "Time from opening the board's line to its reply, in seconds.",
         [](const BoardMetrics& r) -> std::optional<double> {
             if (!answered(r.outcome)) return std::nullopt;
             return static_cast<double>(r.elapsedMs) / 1000.0;
         }},
    };
    if (!stat) return list;
    list.push_back({"quillferry_board_temperature_celsius",
                    "The board's hottest thermal zone, in degrees Celsius.",
                    [](const BoardMetrics& r) { return r.stat.temperatureCelsius; }});
    list.push_back({"quillferry_board_cpu_power_limited",
                    "Whether a CPU cluster runs below its top frequency (1) or none (0).",
                    [](const BoardMetrics& r) { return asNumber(r.stat.powerLimited); }});
    list.push_back({"quillferry_board_network_configured",
                    "Whether the board's network is configured (1) or not, or cleared (0).",
                    [](const BoardMetrics& r) { return asNumber(r.stat.networkConfigured); }});
    return list;
}

}  // namespace

StatReadings readStat(const Json::Value& reply) {
    StatReadings r;
    r.temperatureCelsius = celsius(member(reply, "cpu_temp"));
    // 100: every cluster at its top frequency, so not limited.
    r.powerLimited = flag(member(reply, "cpu_pwr_lmt"), 0, 100);
    r.networkConfigured = flag(member(reply, "netconf"), 1, 0);
    return r;
}

std::string sampleValue(double v) {
    char text[64];
    for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(text, sizeof(text), "%.*g", digits, v);
        if (std::strtod(text, nullptr) == v) break;
    }
    return text;
}

std::string labelValue(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string boardMetricsText(const std::vector<BoardMetrics>& results, bool stat) {
    std::string text;
    for (const Metric& m : metrics(stat)) {
        text += header(m.name, m.help);
        for (const BoardMetrics& r : results) {
            const std::optional<double> v = m.value(r);
            if (v) text += std::string(m.name) + labels(*r.board) + " " + sampleValue(*v) + "\n";
        }
    }
    return text;
}

std::string probeMetricsText(const InventoryBoard& board, const std::optional<BoardMetrics>& result,
                             bool stat, double durationSeconds) {
    std::string text;
    if (result) {
        BoardMetrics r = *result;
        r.board = &board;
        text = boardMetricsText({r}, stat);
    }
    const bool success = result && result->outcome == Outcome::Ok;
    text += header("quillferry_probe_success", "Whether the probe got the board's answer (1).") +
            "quillferry_probe_success " + (success ? "1" : "0") + "\n" +
            header("quillferry_probe_duration_seconds",
                   "How long the probe took, as the scrape waited for it, in seconds.") +
            "quillferry_probe_duration_seconds " + sampleValue(durationSeconds) + "\n";
    return text;
}

}  // namespace ctl
