// SPDX-License-Identifier: Apache-2.0
// Boards' results as Prometheus metrics: what a "get_stat" reply's values mean, read as the
// board means them, and the text exposition of probe and stat results. quillferry-ctl's
// --format prometheus and the exporter's /probe both write them.
#pragma once

#include <json/json.h>

#include <optional>
#include <string>
#include <vector>

#include "ctl/inventory.h"
#include "quillferry/line.h"

namespace ctl {

// What a board's "get_stat" reply says; unset where the reply carries no reading.
struct StatReadings {
    // The hottest thermal zone. The board sends millidegrees as an unsigned 32-bit number,
    // so that a reading below zero arrives in its two's complement form, and 0 when no zone
    // gave a number (a zone at exactly 0 millidegrees cannot be told from that).
    std::optional<double> temperatureCelsius;
    // Whether a CPU cluster runs below its top frequency: the board sends 100 (every
    // cluster at its top) or 0 (one below it, or its frequency unreadable).
    std::optional<bool> powerLimited;
    // Whether the board's network has been configured or cleared since its daemon started.
    std::optional<bool> networkConfigured;
};

// Reads the values of a "get_stat" reply (any JSON value) by their type and range: a value
// of another type or outside what the board sends gives no reading.
StatReadings readStat(const Json::Value& reply);

// What the metrics need of one board's result.
struct BoardMetrics {
    const InventoryBoard* board = nullptr;
    qfclient::Outcome outcome = qfclient::Outcome::Timeout;
    long long elapsedMs = 0;
    StatReadings stat;  // stat only
};

// The metrics of `results`, each metric's HELP and TYPE followed by one sample per board that
// has a value, labelled with the board's name (and its idc and pod when the inventory gives
// it a network). A board whose line another client holds is reported as busy, neither up
// nor down. With `stat`, the readings of the status query too.
std::string boardMetricsText(const std::vector<BoardMetrics>& results, bool stat);

// The samples of one board in a result, none of the board's when `result` is unset (the
// probe did not finish in time), and whether the probe succeeded and how long it took.
std::string probeMetricsText(const InventoryBoard& board, const std::optional<BoardMetrics>& result,
                             bool stat, double durationSeconds);

// A sample's value as the shortest text that reads back as `v` (0.03, not
// 0.029999999999999999).
std::string sampleValue(double v);

// A label value in the exposition format: backslash, quote and newline escaped.
std::string labelValue(const std::string& text);

}  // namespace ctl
