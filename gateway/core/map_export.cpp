#include "map_export.h"

#include <array>
#include <cstdio>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "format.h"
#include "scaling.h"

namespace plexer::gateway {

namespace {

int ReferenceBase(Table table) {
    static constexpr int kBases[] = {1, 10001, 40001, 30001};
    static_assert(std::size(kBases) == kTables, "a base for every table, in the order of Table");
    return kBases[static_cast<std::size_t>(table)];
}

std::string RangeText(const PointSettings& settings) {
    if (!settings.euLow) return "";
    return "EU " + NumberText(*settings.euLow) + ".." + NumberText(*settings.euHigh);
}

MapRow PointRow(const PointMap& map, std::size_t index, Table table, bool writable, bool isFloat, int word) {
    const Gate& gate = map.Gates()[index];
    const PointSettings& settings = map.Settings(index);
    const Family family = FamilyOf(gate.typeCode);
    MapRow row;
    row.unit = gate.unit;
    row.table = table;
    row.address = isFloat ? kFloatBase + 2 * PositionOf(gate.gas) + word : PositionOf(gate.gas);
    row.gas = gate.gas;
    row.name = settings.name;
    row.euName = EuNameOf(settings, family);
    row.access = writable ? "read/write" : "read";
    if (IsDigital(family)) {
        row.dataType = "bool";
        row.scaling = "0 off, 1 on";
    } else if (isFloat) {
        row.dataType = "float32";
        const bool high = (word == 0) == (map.FloatWordOrder() == WordOrder::kHighFirst);
        row.scaling = std::string(high ? "high" : "low") + " word" + (settings.euLow ? ", " + RangeText(settings) : "");
    } else if (settings.serving == Serving::kScaled) {
        row.dataType = "int16";
        row.scaling = (settings.euLow ? RangeText(settings) : std::string("EU")) + " x " + NumberText(settings.multiplier);
    } else {
        row.dataType = family == Family::kTemperature ? "int16" : "uint16";
        row.scaling = family == Family::kTemperature
                          ? "whole degrees"
                          : "counts 0-4095" + (settings.euLow ? " = " + RangeText(settings) : "");
    }
    return row;
}

constexpr std::array kHealthNames = {
    "transactions, high word", "transactions, low word", "failures, high word", "failures, low word",
    "retries, high word",      "retries, low word",      "last driver result (0xFFFF: none yet)",
    "age of the last good read, 0.1 s (0xFFFF: never or older than 6553.4 s)", "1 while the unit is demoted",
    "1 while the line is lost (its device gone)"};
static_assert(kHealthNames.size() == kHealthRegisters, "a name for every health register");

void AddHealth(int unit, std::vector<MapRow>& rows) {
    for (int i = 0; i < kHealthRegisters; ++i) {
        MapRow row;
        row.unit = unit;
        row.table = Table::kInputRegisters;
        row.address = kHealthBase + i;
        row.name = std::string("health: ") + kHealthNames[static_cast<std::size_t>(i)];
        row.dataType = "uint16";
        row.access = "read";
        rows.push_back(row);
    }
}

std::string Csv(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string MarkdownCell(const std::string& text) {
    std::string escaped;
    for (const char c : text) escaped += c == '|' ? std::string("\\|") : std::string(1, c);
    return escaped;
}

// The conventional reference: 00001, 10001, 30001 or 40001 plus the address.
std::string Reference(const MapRow& row) {
    char text[8];
    std::snprintf(text, sizeof text, "%05d", ReferenceBase(row.table) + row.address);
    return text;
}

std::vector<std::string> Cells(const MapRow& row) {
    return {std::to_string(row.unit), TableName(row.table), std::to_string(row.address), Reference(row), row.gas,
            row.dataType, row.scaling, row.euName, row.access, row.name, row.note};
}

// Names and notes last: they are the only long ones.
const std::vector<std::string> kHeadings = {"unit", "table", "address", "reference", "gas", "type",
                                            "scaling", "eu", "access", "name", "note"};
// The text format's columns; the last one as long as it needs.
constexpr std::array<std::size_t, 11> kWidths = {5, 19, 8, 10, 7, 8, 34, 7, 11, 16, 0};

// One line of a table, the headings' or a row's, in CSV, Markdown or text.
std::string Line(const std::vector<std::string>& cells, MapFormat format) {
    std::string out;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (format == MapFormat::kCsv) {
            out += (i ? "," : "") + Csv(cells[i]);
        } else if (format == MapFormat::kMarkdown) {
            out += "| " + MarkdownCell(cells[i]) + " ";
        } else {
            out += kWidths[i] ? Pad(cells[i], kWidths[i] - 1) + " " : cells[i];
        }
    }
    if (format == MapFormat::kMarkdown) out += "|";
    while (format == MapFormat::kText && !out.empty() && out.back() == ' ') out.pop_back();
    return out + "\n";
}

}  // namespace

MapFormat MapFormatNamed(const std::string& name) {
    if (name == "text") return MapFormat::kText;
    if (name == "csv") return MapFormat::kCsv;
    if (name == "json") return MapFormat::kJson;
    if (name == "markdown") return MapFormat::kMarkdown;
    throw std::invalid_argument("format: " + name + " is not one of text, csv, json, markdown");
}

bool UnansweredPlace(const PointState& point) {
    return point.lastResult == QSN_OK && point.quality == Quality::kNotConfigured;
}

std::vector<MapRow> MapRows(const PointMap& map, bool readOnly, const std::vector<PointState>& points) {
    std::vector<MapRow> rows;
    for (const auto& [unit, places] : map.Units()) {
        const bool unitWritable = !readOnly && !places.settings.readOnly;
        for (int t = 0; t < kTables; ++t) {
            const Table table = static_cast<Table>(t);
            const bool writable = unitWritable && (table == Table::kCoils || table == Table::kHoldingRegisters);
            std::vector<MapRow> floats;
            for (const int index : places.point[static_cast<std::size_t>(t)]) {
                if (index < 0) continue;
                const auto gate = static_cast<std::size_t>(index);
                MapRow row = PointRow(map, gate, table, writable, false, 0);
                const bool unanswered = gate < points.size() && UnansweredPlace(points[gate]);
                if (unanswered) {
                    row.note = "the unit answers '?': not served (exception 0x02)";
                    row.access = "none";
                }
                rows.push_back(row);
                if (map.Settings(gate).serving != Serving::kFloat) continue;
                for (int word = 0; word < 2; ++word) {
                    MapRow half = PointRow(map, gate, table, writable, true, word);
                    half.note = row.note;
                    if (unanswered) half.access = "none";
                    floats.push_back(half);
                }
            }
            rows.insert(rows.end(), floats.begin(), floats.end());
        }
        AddHealth(unit, rows);
    }
    return rows;
}

std::string MapText(const std::vector<MapRow>& rows, MapFormat format) {
    if (format == MapFormat::kJson) {
        nlohmann::ordered_json all = nlohmann::ordered_json::array();
        for (const MapRow& row : rows) {
            const std::vector<std::string> cells = Cells(row);
            nlohmann::ordered_json object;
            for (std::size_t i = 0; i < kHeadings.size(); ++i) object[kHeadings[i]] = cells[i];
            object["unit"] = row.unit;
            object["address"] = row.address;
            all.push_back(object);
        }
        return all.dump(1) + "\n";
    }
    std::string text = Line(kHeadings, format);
    if (format == MapFormat::kMarkdown) {
        for (std::size_t i = 0; i < kHeadings.size(); ++i) text += "|---";
        text += "|\n";
    }
    for (const MapRow& row : rows) text += Line(Cells(row), format);
    return text;
}

}  // namespace plexer::gateway
