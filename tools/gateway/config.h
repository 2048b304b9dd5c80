// The gateway's configuration file (TOML): what it listens on, its buses and its points.
#ifndef VARNO_GATEWAY_CONFIG_H
#define VARNO_GATEWAY_CONFIG_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varno::gw {

struct BusConfig {
  std::string name;
  std::string port;  // anything varnoLinkOpen takes: a local port, tcp://, rfc2217://
  std::uint32_t baud = 0;
  std::uint32_t write_timeout_ms = 100;  // for requests that bring none (raw clients, points)
  std::uint32_t reply_timeout_ms = 100;
  std::uint32_t max_timeout_ms = 10000;  // the longest time-out a client may ask for
  std::uint32_t queue_timeout_ms = 1000;
  std::uint32_t reconnect_min_ms = 100;
  std::uint32_t reconnect_max_ms = 10000;
  std::uint32_t max_connections = 64;  // clients of this bus, both listeners
  std::string raw_listen;              // empty: none
};

struct PointConfig {
  std::string name;
  std::string bus;
  std::uint8_t dest = 0;
  std::uint8_t source = 31;
  std::uint8_t code = 0;
  std::uint8_t param = 0;
  std::optional<std::uint8_t> decimals;  // unset: the data word is an unsigned integer
  std::string unit;
  std::uint32_t every_ms = 1000;
  bool publish_every = false;  // MQTT: every poll, not only changes of the value or outcome
};

// Publishing to an MQTT broker (mqtt.h); absent: none.
struct MqttConfig {
  std::string host;
  std::uint16_t port = 1883;
  bool tls = false;       // mqtts://
  std::string ca_file;    // with tls; empty: the system's certificates
  std::string client_id;  // empty: the host's name and the listen port
  std::string username;
  std::string password_file;  // its first line is the password
  std::uint32_t keepalive_s = 30;
  std::string prefix = "varno";
};

struct Config {
  std::string listen = "127.0.0.1:7600";  // empty: no protocol listener
  std::string http;                       // empty: no metrics server
  std::vector<std::string> allow = {"127.0.0.0/8", "::1/128"};
  std::uint32_t max_connections = 64;  // on `listen`
  bool http_send = false;              // POST /api/transact and the page's form
  std::string http_token_file;         // needed for sending unless `http` is loopback
  std::string http_token;              // its first line
  std::vector<BusConfig> buses;
  std::vector<PointConfig> points;
  std::optional<MqttConfig> mqtt;
};

struct ConfigFault {
  std::uint32_t line = 0;  // 0: the file as a whole
  std::string text;
};

// Reads and checks the file. Every fault found is returned, each with its line; the config is
// usable only when there are none.
std::vector<ConfigFault> loadConfig(const std::string& path, Config& config);

}  // namespace varno::gw

#endif  // VARNO_GATEWAY_CONFIG_H
