// A line per event on the wire: every frame received and every reply sent,
// with the time and the state of its checksum, so a run can be read back.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace qsn::sim {

class Trace {
public:
    // "" traces nothing, "-" goes to standard error, anything else is a file.
    explicit Trace(const std::string& path);
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    void Received(std::string_view bytes, std::string_view note);
    void Sent(std::string_view bytes, std::string_view note);
    void Note(std::string_view note);

private:
    void Line(std::string_view direction, std::string_view bytes, std::string_view note);

    std::FILE* out_ = nullptr;
    bool owned_ = false;
};

}  // namespace qsn::sim
