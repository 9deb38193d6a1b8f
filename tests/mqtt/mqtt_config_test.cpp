// The broker URL and the checks made before anything connects.
#include <gtest/gtest.h>

#include <stdexcept>

#include "mqtt_config.h"

namespace plexer::gateway::mqtt {
namespace {

TEST(MqttConfigTest, BrokerUrlsGiveHostPortTlsAndLogin) {
    struct Case {
        const char* url;
        bool tls;
        const char* host;
        int port;
        const char* user;
        const char* password;
    };
    const Case cases[] = {
        {"mqtt://broker", false, "broker", 1883, "", ""},
        {"mqtts://broker.plant:9883/", true, "broker.plant", 9883, "", ""},
        {"tcp://line7:pa:ss@10.0.0.5:1884", false, "10.0.0.5", 1884, "line7", "pa:ss"},
        {"ssl://[::1]", true, "::1", 8883, "", ""},
        {"mqtt://[fe80::1]:1999", false, "fe80::1", 1999, "", ""},
    };
    for (const Case& c : cases) {
        MqttConfig config;
        ParseBrokerUrl(c.url, config);
        EXPECT_EQ(config.tls, c.tls) << c.url;
        EXPECT_EQ(config.host, c.host) << c.url;
        EXPECT_EQ(config.port, c.port) << c.url;
        EXPECT_EQ(config.username, c.user) << c.url;
        EXPECT_EQ(config.password, c.password) << c.url;
    }
    for (const char* bad : {"broker:1883", "http://broker", "mqtt://", "mqtt://:1883", "mqtt://b:0", "mqtt://b:65536",
                            "mqtt://b:12x", "mqtt://[::1:1883", "mqtt://a/b"}) {
        MqttConfig config;
        EXPECT_THROW(ParseBrokerUrl(bad, config), std::invalid_argument) << bad;
    }
}

TEST(MqttConfigTest, CredentialsCrossTheNetworkOnlyOverTlsOrWhenAllowed) {
    struct Case {
        const char* url;
        bool insecure;
        bool accepted;
    };
    const Case cases[] = {
        {"mqtt://u:p@127.0.0.1", false, true},      {"mqtt://u:p@localhost", false, true},
        {"mqtt://u:p@[::1]", false, true},          {"mqtts://u:p@broker.plant", false, true},
        {"mqtt://u:p@broker.plant", false, false},  {"mqtt://u:p@127.example.com", false, false},
        {"mqtt://u:p@127.0.0.1.example.com", false, false}, {"mqtt://u:p@127.1.2.3", false, true},
        {"mqtt://u:p@broker.plant", true, true},    {"mqtt://broker.plant", false, true},
    };
    for (const Case& c : cases) {
        MqttFlags flags;
        flags.url = c.url;
        flags.insecure = c.insecure;
        MqttConfig config;
        if (c.accepted) {
            EXPECT_NO_THROW(ResolveMqtt(flags, "/dev/ttyUSB0", config)) << c.url;
        } else {
            EXPECT_THROW(ResolveMqtt(flags, "/dev/ttyUSB0", config), std::invalid_argument) << c.url;
        }
    }
}

TEST(MqttConfigTest, IdsAreTopicLevelsAndDefaultToThePort) {
    MqttFlags flags;
    flags.url = "mqtt://127.0.0.1";
    MqttConfig config;
    ResolveMqtt(flags, "/dev/ttyUSB0", config);
    EXPECT_EQ(config.edgeNodeId, "ttyUSB0");
    EXPECT_EQ(config.clientId, "plexer-ttyUSB0");
    for (const char* bad : {"a/b", "a+", "#"}) {
        MqttConfig again;
        flags.edgeNodeId = bad;
        EXPECT_THROW(ResolveMqtt(flags, "/dev/ttyUSB0", again), std::invalid_argument) << bad;
    }
}

}  // namespace
}  // namespace plexer::gateway::mqtt
