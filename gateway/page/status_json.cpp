#include "status_json.h"

#include <charconv>
#include <cmath>

#include "display_text.h"
#include "version.h"

namespace plexer::gateway {

namespace {

using nlohmann::ordered_json;

// A label's value escaped as the text format asks: a port name is the user's text.
void AppendLabel(std::string& text, std::string_view name, std::string_view value) {
    text += name;
    text += "=\"";
    for (const char c : value) {
        if (c == '\\' || c == '"') text += '\\';
        if (c == '\n') {
            text += "\\n";
        } else {
            text += c;
        }
    }
    text += '"';
}

void AppendInteger(std::string& text, long long value) {
    char digits[24];
    text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// As JSON writes a double: the shortest text that reads back the same, a
// whole number with ".0", and null for what JSON cannot hold.
void AppendJsonNumber(std::string& text, double value) {
    if (!std::isfinite(value)) {
        text += "null";
        return;
    }
    char digits[32];
    const std::string_view written(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    text += written;
    if (written.find_first_of(".e") == std::string_view::npos) text += ".0";
}

long long Milliseconds(PollClock::duration age) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(age).count();
}

// As the rest of the page's JSON is written: a name's bad UTF-8 replaced, never thrown over.
std::string Dumped(const ordered_json& json) {
    return json.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

}  // namespace

PointsFrame PointsFrameOf(const PointMap& map) {
    PointsFrame frame;
    for (std::size_t i = 0; i < map.Gates().size(); ++i) {
        const Gate& gate = map.Gates()[i];
        const PointSettings& settings = map.Settings(i);
        const Family family = FamilyOf(gate.typeCode);
        std::string head = Dumped(
            {{"gas", gate.gas}, {"unit", gate.unit}, {"name", settings.name}, {"family", FamilyName(family)}});
        head.back() = ',';
        frame.heads.push_back(std::move(head));
        frame.euNames.push_back("\"euName\":" + Dumped(EuNameOf(settings, family)));
    }
    return frame;
}

std::string PointsText(const PointsFrame& frame, std::span<const PointVerdict> verdicts,
                       const std::vector<PointState>& points) {
    std::string text = "[";
    const std::size_t count = std::min(verdicts.size(), frame.heads.size());
    text.reserve(count * (frame.heads.empty() ? 0 : frame.heads[0].size() + 128));
    for (std::size_t i = 0; i < count; ++i) {
        const Verdict& verdict = verdicts[i].verdict;
        // What a '?' position returns is no value at all, not even a last one.
        const bool configured = i >= points.size() || points[i].quality != Quality::kNotConfigured;
        const bool shown = verdict.reason != Reason::kNotConfigured && configured;
        if (i > 0) text += ',';
        text += frame.heads[i];
        text += "\"quality\":\"";
        text += ReasonName(verdict.reason);
        text += verdict.Good() ? "\",\"good\":true,\"counts\":" : "\",\"good\":false,\"counts\":";
        if (shown && verdict.last) {
            AppendInteger(text, *verdict.last);
        } else {
            text += "null";
        }
        text += ",\"eu\":";
        if (shown && verdicts[i].lastEu) {
            AppendJsonNumber(text, *verdicts[i].lastEu);
        } else {
            text += "null";
        }
        text += ',';
        text += frame.euNames[i];
        text += ",\"ageMs\":";
        if (verdict.age) {
            AppendInteger(text, Milliseconds(*verdict.age));
        } else {
            text += "null";
        }
        if (verdict.reason == Reason::kFailed && i < points.size() && !points[i].lastCause.empty()) {
            text += ",\"cause\":" + Dumped(points[i].lastCause);
        }
        text += '}';
    }
    return text + "]";
}

std::string MetricsText(const MetricsSources& sources, PollClock::time_point now) {
    std::string text;
    text.reserve(4096 + 48 * sources.verdicts.size());
    const auto family = [&text](std::string_view name, std::string_view type, std::string_view help) {
        text.append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ");
        text.append(name).append(" ").append(type).append("\n");
    };
    family("plexer_build_info", "gauge", "Always 1: the version of the gateway and the line it serves.");
    text += "plexer_build_info{";
    AppendLabel(text, "version", Version());
    text += ',';
    AppendLabel(text, "line", sources.port);
    text += "} 1\n";
    const auto perUnit = [&](std::string_view name, std::string_view type, std::string_view help, auto value) {
        family(name, type, help);
        for (const UnitHealth& unit : sources.units) {
            char number[12];
            text.append(name).append("{");
            AppendLabel(text, "unit", {number, std::to_chars(number, number + sizeof number, unit.unit).ptr});
            text += "} ";
            AppendInteger(text, value(unit));
            text += '\n';
        }
    };
    perUnit("plexer_unit_transactions_total", "counter", "Driver transactions with the unit.",
            [](const UnitHealth& u) { return u.counters.transactions; });
    perUnit("plexer_unit_failures_total", "counter", "Driver transactions with the unit that failed.",
            [](const UnitHealth& u) { return u.counters.failures; });
    perUnit("plexer_unit_retries_total", "counter", "Attempts the driver repeated.",
            [](const UnitHealth& u) { return u.counters.retries; });
    perUnit("plexer_unit_demoted", "gauge", "1 while the unit is set aside after failed polls.",
            [&](const UnitHealth& u) { return DemotedAt(u, now) ? 1L : 0L; });
    perUnit("plexer_unit_up", "gauge", "1 when the unit's last poll succeeded.",
            [&](const UnitHealth& u) { return UnitState(u, now) == "ok" ? 1L : 0L; });
    const auto single = [&](std::string_view name, std::string_view type, std::string_view help, long value) {
        family(name, type, help);
        text.append(name).append(" ");
        AppendInteger(text, value);
        text += '\n';
    };
    single("plexer_line_up", "gauge", "1 while the line's device is there, 0 while it is lost.",
           sources.line.up ? 1 : 0);
    single("plexer_line_losses_total", "counter", "Times the line's device was lost.", sources.line.losses);
    single("plexer_line_recoveries_total", "counter", "Times the line came back.", sources.line.recoveries);
    family("plexer_modbus_requests_total", "counter", "Modbus requests answered, by function and exception (0: none).");
    for (const auto& [key, count] : sources.requests) {
        text += "plexer_modbus_requests_total{";
        AppendLabel(text, "function", "0x" + Hex2(static_cast<unsigned>(key.first)));
        text += ',';
        AppendLabel(text, "exception", "0x" + Hex2(static_cast<unsigned>(key.second)));
        text += "} ";
        AppendInteger(text, count);
        text += '\n';
    }
    family("plexer_point_good", "gauge", "1 while the point's value is served, 0 while it is not.");
    const std::vector<Gate>& gates = sources.map.Gates();
    for (std::size_t i = 0; i < sources.verdicts.size() && i < gates.size(); ++i) {
        text += "plexer_point_good{";
        AppendLabel(text, "gas", gates[i].gas);
        text += sources.verdicts[i].verdict.Good() ? "} 1\n" : "} 0\n";
    }
    return text;
}

}  // namespace plexer::gateway
