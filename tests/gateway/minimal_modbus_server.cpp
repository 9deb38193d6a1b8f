// What a user would otherwise write: libmodbus's select() server over a static
// mapping, modbus_receive and modbus_reply per request. gateway_bench runs it
// under the gateway's load, for a yardstick.
//
//   minimal_modbus_server        (listens on 127.0.0.1, any free port, and prints it)
#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

int main() {
    modbus_t* context = modbus_new_tcp("127.0.0.1", 0);
    modbus_mapping_t* mapping = modbus_mapping_new(16, 16, 16, 16);
    if (context == nullptr || mapping == nullptr) return 3;
    for (int i = 0; i < 16; ++i) mapping->tab_input_registers[i] = static_cast<std::uint16_t>(i * 257);
    const int listener = modbus_tcp_listen(context, 64);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (listener < 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 3;
    std::printf("listening on 127.0.0.1:%d\n", ntohs(address.sin_port));
    std::fflush(stdout);

    fd_set clients;
    FD_ZERO(&clients);
    FD_SET(listener, &clients);
    int highest = listener;
    std::uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        fd_set ready = clients;
        if (select(highest + 1, &ready, nullptr, nullptr, nullptr) < 0) return 1;
        for (int fd = 0; fd <= highest; ++fd) {
            if (!FD_ISSET(fd, &ready)) continue;
            if (fd == listener) {
                const int client = accept(listener, nullptr, nullptr);
                if (client < 0 || client >= FD_SETSIZE) continue;
                FD_SET(client, &clients);
                if (client > highest) highest = client;
                continue;
            }
            modbus_set_socket(context, fd);
            const int received = modbus_receive(context, request);
            if (received > 0) {
                modbus_reply(context, request, received, mapping);
            } else if (received < 0) {
                close(fd);
                FD_CLR(fd, &clients);
            }
        }
    }
}
