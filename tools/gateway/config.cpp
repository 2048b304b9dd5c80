#include "config.h"

#include <toml++/toml.h>

#include <cctype>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <set>

#include "net.h"
#include "protocol/gateway_protocol.h"

namespace varno::gw {
namespace {

std::uint32_t lineOf(const toml::node& node) {
  return static_cast<std::uint32_t>(node.source().begin.line);
}

// Reads one table's keys into their places; every key must be known, of its type and in range.
class TableReader {
 public:
  TableReader(const toml::table& table, std::string where, std::vector<ConfigFault>& faults)
      : table_(table), where_(std::move(where)), faults_(faults) {}

  ~TableReader() {
    for (auto&& [key, node] : table_) {
      if (known_.count(std::string(key.str())) == 0) {
        fault(node, "unknown key '" + std::string(key.str()) + "' in " + where_);
      }
    }
  }

  template <typename T>
  bool integer(const char* key, T& out, std::int64_t min, std::int64_t max, bool required = false) {
    const toml::node* node = find(key, required);
    if (node == nullptr) return false;
    const auto value = node->value_exact<std::int64_t>();
    if (!value) return fault(*node, std::string(key) + " must be an integer");
    if (*value < min || *value > max) {
      return fault(*node, std::string(key) + " must be " + std::to_string(min) + ".." +
                              std::to_string(max) + ", not " + std::to_string(*value));
    }
    out = static_cast<T>(*value);
    return true;
  }

  bool string(const char* key, std::string& out, bool required = false) {
    const toml::node* node = find(key, required);
    if (node == nullptr) return false;
    const auto value = node->value_exact<std::string>();
    if (!value) return fault(*node, std::string(key) + " must be a string");
    out = *value;
    return true;
  }

  bool boolean(const char* key, bool& out) {
    const toml::node* node = find(key, false);
    if (node == nullptr) return false;
    const auto value = node->value_exact<bool>();
    if (!value) return fault(*node, std::string(key) + " must be true or false");
    out = *value;
    return true;
  }

  bool strings(const char* key, std::vector<std::string>& out) {
    const toml::node* node = find(key, false);
    if (node == nullptr) return false;
    const toml::array* array = node->as_array();
    if (array == nullptr) return fault(*node, std::string(key) + " must be an array of strings");
    out.clear();
    for (const toml::node& item : *array) {
      const auto value = item.value_exact<std::string>();
      if (!value) return fault(item, std::string(key) + " must be an array of strings");
      out.push_back(*value);
    }
    return true;
  }

  std::uint32_t line(const char* key) const {
    const toml::node* node = table_.get(key);
    return node != nullptr ? lineOf(*node) : lineOf(table_);
  }

  bool fault(const toml::node& node, const std::string& text) {
    faults_.push_back({lineOf(node), text});
    return false;
  }
  void fault(const char* key, const std::string& text) { faults_.push_back({line(key), text}); }

 private:
  const toml::node* find(const char* key, bool required) {
    known_.insert(key);
    const toml::node* node = table_.get(key);
    if (node == nullptr && required) {
      faults_.push_back({lineOf(table_), where_ + " lacks " + key});
    }
    return node;
  }

  const toml::table& table_;
  std::string where_;
  std::vector<ConfigFault>& faults_;
  std::set<std::string> known_;
};

constexpr std::int64_t kMaxMs = std::numeric_limits<std::int32_t>::max();

void checkEndpoint(TableReader& reader, const char* key, const std::string& text,
                   std::map<std::string, std::uint32_t>& used) {
  Endpoint endpoint;
  std::string error;
  if (!parseEndpoint(text, endpoint, error)) {
    reader.fault(key, std::string(key) + " \"" + text + "\": " + error);
    return;
  }
  if (endpoint.port == 0) return;  // any free port: cannot collide
  const std::string normal = endpoint.host + "|" + std::to_string(endpoint.port);
  if (!used.emplace(normal, reader.line(key)).second) {
    reader.fault(key, std::string(key) + " \"" + text + "\" is already used on line " +
                          std::to_string(used[normal]));
  }
}

void readGateway(const toml::table& table, Config& config, std::vector<ConfigFault>& faults,
                 std::map<std::string, std::uint32_t>& endpoints) {
  TableReader r(table, "[gateway]", faults);
  if (r.string("listen", config.listen) && !config.listen.empty()) {
    checkEndpoint(r, "listen", config.listen, endpoints);
  }
  if (r.string("http", config.http) && !config.http.empty()) {
    checkEndpoint(r, "http", config.http, endpoints);
  }
  if (r.strings("allow", config.allow)) {
    for (const std::string& text : config.allow) {
      Network network;
      std::string error;
      if (!parseNetwork(text, network, error)) r.fault("allow", "allow \"" + text + "\": " + error);
    }
  }
  r.integer("max_connections", config.max_connections, 1, 10000);
  r.boolean("http_send", config.http_send);
  if (r.string("http_token_file", config.http_token_file) && !config.http_token_file.empty()) {
    std::ifstream file(config.http_token_file);
    std::string token;
    if (!file || !std::getline(file, token)) {
      r.fault("http_token_file",
              "http_token_file \"" + config.http_token_file + "\" cannot be read");
    }
    while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) {
      token.pop_back();
    }
    if (file && token.size() < 16) {
      r.fault("http_token_file",
              "the token in \"" + config.http_token_file + "\" is shorter than 16 characters");
    }
    config.http_token = token;
  }
  Endpoint endpoint;
  std::string error;
  if (config.http_send && parseEndpoint(config.http, endpoint, error) &&
      !isLoopbackHost(endpoint.host) && config.http_token_file.empty()) {
    r.fault("http_send", "http_send on an address other than loopback needs http_token_file");
  }
}

void readBus(const toml::table& table, Config& config, std::vector<ConfigFault>& faults,
             std::map<std::string, std::uint32_t>& endpoints) {
  BusConfig bus;
  TableReader r(table, "[[bus]]", faults);
  if (r.string("name", bus.name, true) && !gateway::validBusName(bus.name)) {
    r.fault("name", "bus name \"" + bus.name + "\" must be 1..64 printable characters, no spaces");
  }
  if (r.string("port", bus.port, true) && bus.port.empty()) r.fault("port", "port is empty");
  r.integer("baud", bus.baud, 1, std::numeric_limits<std::uint32_t>::max(), true);
  r.integer("write_timeout_ms", bus.write_timeout_ms, 1, kMaxMs);
  r.integer("reply_timeout_ms", bus.reply_timeout_ms, 1, kMaxMs);
  r.integer("max_timeout_ms", bus.max_timeout_ms, 1, kMaxMs);
  r.integer("queue_timeout_ms", bus.queue_timeout_ms, 1, kMaxMs);
  r.integer("reconnect_min_ms", bus.reconnect_min_ms, 1, kMaxMs);
  r.integer("reconnect_max_ms", bus.reconnect_max_ms, 1, kMaxMs);
  r.integer("max_connections", bus.max_connections, 1, 10000);
  if (r.string("raw_listen", bus.raw_listen) && !bus.raw_listen.empty()) {
    checkEndpoint(r, "raw_listen", bus.raw_listen, endpoints);
  }
  if (bus.reconnect_max_ms < bus.reconnect_min_ms) {
    r.fault("reconnect_max_ms", "reconnect_max_ms is less than reconnect_min_ms");
  }
  for (const BusConfig& other : config.buses) {
    if (!bus.name.empty() && other.name == bus.name) {
      r.fault("name", "bus \"" + bus.name + "\" is defined twice");
    }
  }
  config.buses.push_back(bus);
}

void readPoint(const toml::table& table, Config& config, std::vector<ConfigFault>& faults) {
  PointConfig point;
  TableReader r(table, "[[point]]", faults);
  if (r.string("name", point.name, true) && point.name.empty()) r.fault("name", "name is empty");
  if (r.string("bus", point.bus, true)) {
    bool found = false;
    for (const BusConfig& bus : config.buses) found = found || bus.name == point.bus;
    if (!found) r.fault("bus", "no [[bus]] is named \"" + point.bus + "\"");
  }
  r.integer("dest", point.dest, 0, 127, true);
  r.integer("source", point.source, 0, 127);
  r.integer("code", point.code, 0, 127, true);
  r.integer("param", point.param, 0, 255);
  std::uint8_t decimals = 0;
  if (r.integer("decimals", decimals, 0, 3)) point.decimals = decimals;
  r.string("unit", point.unit);
  r.integer("every_ms", point.every_ms, 1, kMaxMs);
  std::string publish;
  if (r.string("publish", publish)) {
    if (publish != "change" && publish != "every") {
      r.fault("publish", "publish must be \"change\" or \"every\", not \"" + publish + "\"");
    }
    point.publish_every = publish == "every";
  }
  for (const PointConfig& other : config.points) {
    if (!point.name.empty() && other.name == point.name) {
      r.fault("name", "point \"" + point.name + "\" is defined twice");
    }
  }
  config.points.push_back(point);
}

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; HOST may be [an IPv6 address].
bool parseMqttUrl(const std::string& url, MqttConfig& mqtt) {
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
    mqtt.tls = false;
    mqtt.port = 1883;
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    mqtt.tls = true;
    mqtt.port = 8883;
  } else {
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string port;
  bool has_port = false;
  if (!rest.empty() && rest[0] == '[') {
    const auto close = rest.find(']');
    if (close == std::string::npos) return false;
    mqtt.host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') return false;
      port = rest.substr(close + 2);
      has_port = true;
    }
  } else {
    const auto colon = rest.find(':');
    mqtt.host = rest.substr(0, colon);
    has_port = colon != std::string::npos;
    if (has_port) port = rest.substr(colon + 1);
  }
  if (mqtt.host.empty() || mqtt.host.find_first_of("/@ ") != std::string::npos) return false;
  if (has_port) {
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    const unsigned long number = std::stoul(port);
    if (number == 0 || number > 65535) return false;
    mqtt.port = static_cast<std::uint16_t>(number);
  }
  return true;
}

void readMqtt(const toml::table& table, Config& config, std::vector<ConfigFault>& faults) {
  MqttConfig mqtt;
  TableReader r(table, "[mqtt]", faults);
  std::string url;
  if (r.string("url", url, true) && !parseMqttUrl(url, mqtt)) {
    r.fault("url", "url \"" + url + "\" must be mqtt://HOST:PORT or mqtts://HOST:PORT");
  }
  r.string("ca_file", mqtt.ca_file);
  if (!mqtt.ca_file.empty() && !mqtt.tls) r.fault("ca_file", "ca_file needs an mqtts:// url");
  r.string("client_id", mqtt.client_id);
  r.string("username", mqtt.username);
  r.string("password_file", mqtt.password_file);
  if (!mqtt.password_file.empty() && mqtt.username.empty()) {
    r.fault("password_file", "password_file needs a username");
  }
  r.integer("keepalive_s", mqtt.keepalive_s, 5, 65535);
  if (r.string("prefix", mqtt.prefix) &&
      (mqtt.prefix.empty() || mqtt.prefix.find_first_of("+#") != std::string::npos ||
       mqtt.prefix.back() == '/')) {
    r.fault("prefix", "prefix must be a topic without + or # and not end in /");
  }
  config.mqtt = mqtt;
}

// Each [[NAME]] entry as a table, or a fault.
void eachTable(const toml::table& root, const char* name, std::vector<ConfigFault>& faults,
               const std::function<void(const toml::table&)>& read) {
  const toml::node* node = root.get(name);
  if (node == nullptr) return;
  const toml::array* array = node->as_array();
  if (array == nullptr) {
    faults.push_back({lineOf(*node), std::string(name) + " must be written [[" + name + "]]"});
    return;
  }
  for (const toml::node& item : *array) {
    if (const toml::table* table = item.as_table()) {
      read(*table);
    } else {
      faults.push_back({lineOf(item), std::string(name) + " must be written [[" + name + "]]"});
    }
  }
}

}  // namespace

std::vector<ConfigFault> loadConfig(const std::string& path, Config& config) {
  std::vector<ConfigFault> faults;
  toml::table root;
  try {
    root = toml::parse_file(path);
  } catch (const toml::parse_error& e) {
    faults.push_back(
        {static_cast<std::uint32_t>(e.source().begin.line), std::string(e.description())});
    return faults;
  }
  // Buses before points (a point names its bus), whatever the file's order.
  std::map<std::string, std::uint32_t> endpoints;
  for (auto&& [key, node] : root) {
    const std::string name(key.str());
    if (name != "gateway" && name != "bus" && name != "point" && name != "mqtt") {
      faults.push_back({lineOf(node), "unknown section '" + name + "'"});
    }
  }
  if (const toml::node* gateway = root.get("gateway")) {
    if (const toml::table* table = gateway->as_table()) {
      readGateway(*table, config, faults, endpoints);
    } else {
      faults.push_back({lineOf(*gateway), "gateway must be a table: [gateway]"});
    }
  }
  eachTable(root, "bus", faults,
            [&](const toml::table& t) { readBus(t, config, faults, endpoints); });
  eachTable(root, "point", faults, [&](const toml::table& t) { readPoint(t, config, faults); });
  if (const toml::node* mqtt = root.get("mqtt")) {
    if (const toml::table* table = mqtt->as_table()) {
      readMqtt(*table, config, faults);
      // Names become topics: a wildcard in one could not be published.
      for (const PointConfig& point : config.points) {
        if (point.name.find_first_of("+#") != std::string::npos) {
          faults.push_back(
              {0, "point \"" + point.name + "\": a name with + or # cannot be an MQTT topic"});
        }
      }
    } else {
      faults.push_back({lineOf(*mqtt), "mqtt must be a table: [mqtt]"});
    }
  }
  if (config.buses.empty() && faults.empty()) faults.push_back({0, "no [[bus]] is configured"});
  return faults;
}

}  // namespace varno::gw
