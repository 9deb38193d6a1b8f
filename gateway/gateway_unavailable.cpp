#include "gateway_command.h"

namespace plexer {

CLI::App* AddGatewayCommand(CLI::App& app, gateway::GatewayOptions&, std::vector<std::string>& args) {
    CLI::App* gateway = app.add_subcommand("gateway",
                                           "Serve the line as a Modbus TCP server (Linux only: not in this "
                                           "Windows build)");
    gateway->add_option("ARGS", args)->type_name("");
    // Whatever it is given, it says why it cannot run: the options it lacks stay here, not with plexer's.
    gateway->allow_extras()->fallthrough(false);
    return gateway;
}

void RunGateway(const GlobalOptions&, LineOptions, const std::vector<std::string>&, const gateway::GatewayOptions&) {
    throw CommandFailure(kExitUsage, "gateway runs on Linux only: it is built on libmodbus and POSIX sockets");
}

}  // namespace plexer
