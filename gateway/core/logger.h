// The gateway's one logger: every line from every part, with the session's
// timestamps, tagged with where it comes from ("mqtt: ...").
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace plexer::gateway {

class Logger {
public:
    using Sink = std::function<void(const std::string&)>;
    explicit Logger(Sink sink) : sink_(std::move(sink)) {}

    // Any thread; the sink writes each line whole.
    void Note(const std::string& text) const { sink_(text); }
    void Note(std::string_view source, const std::string& text) const {
        sink_(std::string(source) + ": " + text);
    }

private:
    Sink sink_;
};

}  // namespace plexer::gateway
