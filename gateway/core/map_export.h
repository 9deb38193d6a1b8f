// The Modbus map to hand over: one row per register or bit with its unit id,
// table, 0-based address and conventional reference, data type, scaling,
// engineering unit and access, as text, CSV, JSON or Markdown.
#pragma once

#include <string>
#include <vector>

#include "point_map.h"
#include "poller.h"

namespace plexer::gateway {

enum class MapFormat { kText, kCsv, kJson, kMarkdown };

// Throws std::invalid_argument for a name other than text, csv, json, markdown.
MapFormat MapFormatNamed(const std::string& name);

struct MapRow {
    int unit = 0;
    Table table = Table::kCoils;
    int address = 0;
    std::string gas;
    std::string name;
    std::string dataType;  // bool, uint16, int16, float32
    std::string scaling;
    std::string euName;
    std::string access;  // read, read/write
    std::string note;    // why a place is not served, once the polls know
};

// A place the unit has answered '?' for: not served.
bool UnansweredPlace(const PointState& point);

// `points` (the poller's, in the map's order) marks positions the unit answers '?' for; empty at start.
std::vector<MapRow> MapRows(const PointMap& map, bool readOnly, const std::vector<PointState>& points = {});

std::string MapText(const std::vector<MapRow>& rows, MapFormat format);

}  // namespace plexer::gateway
