#include "mqtt.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "log.h"
#include "request_json.h"

namespace varno::gw {

using nlohmann::json;

namespace {

// A request redelivered by the broker (QoS 1) within this many others is not carried out again.
constexpr std::size_t kDedupeWindow = 10000;
constexpr int kQos = 1;

std::int64_t epochMs(std::chrono::system_clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

std::string defaultClientId(const std::string& listen) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) std::snprintf(host, sizeof host, "varno");
  const auto colon = listen.rfind(':');
  return std::string(host) + "-" + (colon == std::string::npos ? "0" : listen.substr(colon + 1));
}

}  // namespace

struct MqttBridge::Impl {
  // Where an answer goes: the response topic with its correlation data, or reply_to with id.
  struct Pending {
    std::string topic;
    std::string correlation;  // binary
    bool has_correlation = false;
    json id;  // null: none given
    std::chrono::steady_clock::time_point start;
  };
  struct Published {
    bool any = false;
    std::optional<double> value;
    std::int32_t outcome = 0;
    std::string payload;
  };
  class Client : public BusClient {
   public:
    Client(Impl& impl, std::string bus) : impl_(impl), bus_(std::move(bus)) {}
    void complete(const Completion& c) override { impl_.completed(bus_, c); }

   private:
    Impl& impl_;
    std::string bus_;
  };
  struct BusSide {
    Bus* bus = nullptr;
    Bus::ClientId id = 0;
  };

  MqttConfig config;
  std::string client_id;
  mosquitto* mosq = nullptr;
  std::atomic<bool> v5{true};
  std::atomic<bool> connected{false};
  std::atomic<bool> stopping{false};
  std::map<std::string, BusSide> buses;

  std::mutex mutex;  // everything below
  std::condition_variable changed;
  std::map<const PointConfig*, Published> points;
  std::map<std::uint64_t, Pending> pending;
  std::uint64_t next_tag = 1;
  std::deque<std::string> seen_order;
  std::set<std::string> seen;
  int state = -1;  // what PREFIX/connected says
  int last_will_mid = -1;
  bool last_will_sent = false;
  std::thread watcher;

  std::string topic(const std::string& tail) const { return config.prefix + "/" + tail; }

  void publish(const std::string& topic, const std::string& payload, bool retain,
               const mosquitto_property* props = nullptr, int* mid = nullptr) {
    const int rc = mosquitto_publish_v5(mosq, mid, topic.c_str(), static_cast<int>(payload.size()),
                                        payload.data(), kQos, retain, v5 ? props : nullptr);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
      logWarning("mqtt: cannot publish on " + topic + ": " + mosquitto_strerror(rc));
    }
  }

  int busState() const {
    for (const auto& [name, side] : buses) {
      if (!side.bus->isOpen()) return 1;
    }
    return 2;
  }

  void publishState(bool force) {
    const int now = busState();
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (now == state && !force) return;
      state = now;
    }
    publish(topic("connected"), std::to_string(now), true);
  }

  // Everything retained again: a broker restarted without its store has lost it all.
  void onConnect(int rc) {
    if (rc != 0) {
      if (v5 &&
          (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || rc == CONNACK_REFUSED_PROTOCOL_VERSION)) {
        logInfo("mqtt: the broker speaks no MQTT 5; using 3.1.1");
        v5 = false;
        mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
      } else {
        logWarning(std::string("mqtt: the broker refused the connection: ") +
                   (v5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc)));
      }
      return;
    }
    connected = true;
    logInfo("mqtt: connected to " + config.host + ":" + std::to_string(config.port) + " (MQTT " +
            (v5 ? "5" : "3.1.1") + ")");
    const std::string filter = topic("transact/#");
    mosquitto_subscribe_v5(mosq, nullptr, filter.c_str(), kQos, 0, nullptr);
    publishState(true);
    std::vector<std::pair<std::string, std::string>> again;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (const auto& [point, published] : points) {
        if (published.any) again.emplace_back(topic("status/" + point->name), published.payload);
      }
    }
    for (const auto& [t, payload] : again) publish(t, payload, true);
  }

  void onDisconnect(int rc) {
    if (connected.exchange(false) && !stopping) {
      logWarning(std::string("mqtt: lost the broker (") + mosquitto_strerror(rc) +
                 "); connecting again");
    }
  }

  void pointPolled(const PointUpdate& u) {
    json body = {
        {"val", nullptr}, {"unit", u.point->unit}, {"ts", epochMs(u.at)}, {"outcome", u.outcome}};
    if (u.value) {
      body["val"] = u.point->decimals ? json(*u.value) : json(static_cast<std::uint64_t>(*u.value));
    }
    std::string payload = body.dump();
    {
      std::lock_guard<std::mutex> lock(mutex);
      Published& last = points[u.point];
      const bool same = last.any && last.value == u.value && last.outcome == u.outcome;
      last.payload = payload;
      if (same && !u.point->publish_every) return;
      last.any = true;
      last.value = u.value;
      last.outcome = u.outcome;
    }
    publish(topic("status/" + u.point->name), payload, true);
  }

  void answer(const Pending& to, json body) {
    if (!to.id.is_null()) body["id"] = to.id;
    mosquitto_property* props = nullptr;
    if (to.has_correlation) {
      mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, to.correlation.data(),
                                    static_cast<std::uint16_t>(to.correlation.size()));
    }
    publish(to.topic, body.dump(), false, props);
    mosquitto_property_free_all(&props);
  }

  void completed(const std::string&, const Completion& c) {
    Pending to;
    {
      std::lock_guard<std::mutex> lock(mutex);
      const auto found = pending.find(c.tag);
      if (found == pending.end()) return;
      to = std::move(found->second);
      pending.erase(found);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - to.start)
            .count();
    answer(to, answerJson(c, ms));
  }

  void onMessage(const mosquitto_message* message, const mosquitto_property* props) {
    const std::string prefix = topic("transact/");
    const std::string name(message->topic);
    if (name.rfind(prefix, 0) != 0) return;
    const std::string bus = name.substr(prefix.size());
    Pending to;
    to.start = std::chrono::steady_clock::now();
    char* response = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &response, false)) {
      to.topic = response;
      std::free(response);
      void* data = nullptr;
      std::uint16_t size = 0;
      if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &size, false)) {
        to.correlation.assign(static_cast<const char*>(data), size);
        to.has_correlation = true;
        std::free(data);
      }
    }
    const json body = json::parse(static_cast<const char*>(message->payload),
                                  static_cast<const char*>(message->payload) + message->payloadlen,
                                  nullptr, false);
    if (body.is_object()) {
      if (const auto id = body.find("id"); id != body.end()) to.id = *id;
      const auto reply_to = body.find("reply_to");
      if (to.topic.empty() && reply_to != body.end() && reply_to->is_string()) {
        to.topic = reply_to->get<std::string>();
      }
    }
    if (to.topic.empty() || to.topic.find_first_of("+#") != std::string::npos) {
      logWarning("mqtt: a request on " + name +
                 " names no response topic nor reply_to (or a wildcard one): not carried out");
      return;
    }
    Request request;
    std::string fault = body.is_discarded() ? "the request is not valid JSON"
                                            : parseRequestJson(body, request, {"id", "reply_to"});
    const auto side = buses.find(bus);
    if (fault.empty() && side == buses.end()) fault = "no bus \"" + bus + "\"";
    if (fault.empty() && side->second.id == 0) fault = "bus \"" + bus + "\" has no room for MQTT";
    if (!fault.empty()) {
      answer(to, errorJson(fault));
      return;
    }
    // The same request once more (QoS 1 delivers at least once): its key is what the client
    // tells its answers apart by. Only requests for the bus count: a refused one may be refused
    // again.
    if (to.has_correlation || !to.id.is_null()) {
      const std::string key = bus + '\n' + to.topic + '\n' +
                              (to.has_correlation ? "c" + to.correlation : "i" + to.id.dump());
      std::lock_guard<std::mutex> lock(mutex);
      if (!seen.insert(key).second) {
        logDebug("mqtt: a request on " + name + " delivered again: carried out once");
        return;
      }
      seen_order.push_back(key);
      if (seen_order.size() > kDedupeWindow) {
        seen.erase(seen_order.front());
        seen_order.pop_front();
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      request.tag = next_tag++;
      pending.emplace(request.tag, std::move(to));
    }
    request.queued_at = Clock::now();
    side->second.bus->submit(side->second.id, request);
  }
};

MqttBridge::MqttBridge(const MqttConfig& config, const std::string& listen, const BusMap& buses)
    : impl_(std::make_unique<Impl>()) {
  impl_->config = config;
  impl_->client_id = config.client_id.empty() ? defaultClientId(listen) : config.client_id;
  for (const auto& [name, bus] : buses) impl_->buses[name].bus = bus;
}

MqttBridge::~MqttBridge() {
  stop();
}

void MqttBridge::listen(Poller& poller) {
  poller.addListener([impl = impl_.get()](const PointUpdate& u) { impl->pointPolled(u); });
}

bool MqttBridge::start() {
  Impl& m = *impl_;
  mosquitto_lib_init();
  m.mosq = mosquitto_new(m.client_id.c_str(), true, &m);
  if (m.mosq == nullptr) {
    logError("mqtt: cannot create the client");
    return false;
  }
  mosquitto_int_option(m.mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  // An answer is one small packet: Nagle's wait for the broker's delayed ACK would add ~40 ms.
  mosquitto_int_option(m.mosq, MOSQ_OPT_TCP_NODELAY, 1);
  const std::string will = m.topic("connected");
  mosquitto_will_set_v5(m.mosq, will.c_str(), 1, "0", kQos, true, nullptr);
  if (!m.config.username.empty()) {
    std::string password;
    if (!m.config.password_file.empty()) {
      std::ifstream file(m.config.password_file);
      if (!file || !std::getline(file, password)) {
        logError("mqtt: cannot read the password file " + m.config.password_file);
        return false;
      }
      if (!password.empty() && password.back() == '\r') password.pop_back();
    }
    mosquitto_username_pw_set(m.mosq, m.config.username.c_str(),
                              m.config.password_file.empty() ? nullptr : password.c_str());
  }
  if (m.config.tls) {
    const int rc = mosquitto_tls_set(
        m.mosq, m.config.ca_file.empty() ? nullptr : m.config.ca_file.c_str(),
        m.config.ca_file.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      logError(std::string("mqtt: TLS: ") + mosquitto_strerror(rc));
      return false;
    }
  }
  mosquitto_reconnect_delay_set(m.mosq, 1, 30, true);
  mosquitto_connect_v5_callback_set(
      m.mosq, [](mosquitto*, void* self, int rc, int, const mosquitto_property*) {
        static_cast<Impl*>(self)->onConnect(rc);
      });
  mosquitto_disconnect_v5_callback_set(
      m.mosq, [](mosquitto*, void* self, int rc, const mosquitto_property*) {
        static_cast<Impl*>(self)->onDisconnect(rc);
      });
  mosquitto_message_v5_callback_set(
      m.mosq,
      [](mosquitto*, void* self, const mosquitto_message* message,
         const mosquitto_property* props) { static_cast<Impl*>(self)->onMessage(message, props); });
  mosquitto_publish_v5_callback_set(
      m.mosq, [](mosquitto*, void* self, int mid, int, const mosquitto_property*) {
        Impl& impl = *static_cast<Impl*>(self);
        std::lock_guard<std::mutex> lock(impl.mutex);
        if (mid == impl.last_will_mid) {
          impl.last_will_sent = true;
          impl.changed.notify_all();
        }
      });
  for (auto& [name, side] : m.buses)
    side.id = side.bus->attach(std::make_shared<Impl::Client>(m, name));
  const int rc = mosquitto_connect_async(m.mosq, m.config.host.c_str(), m.config.port,
                                         static_cast<int>(m.config.keepalive_s));
  if (rc != MOSQ_ERR_SUCCESS) {
    logWarning("mqtt: cannot reach " + m.config.host + ":" + std::to_string(m.config.port) + " (" +
               mosquitto_strerror(rc) + "); trying again");
  }
  mosquitto_loop_start(m.mosq);
  // The buses' state changes without a poll to tell it: looked at a few times a second.
  m.watcher = std::thread([&m] {
    std::unique_lock<std::mutex> lock(m.mutex);
    while (!m.stopping) {
      m.changed.wait_for(lock, std::chrono::milliseconds(250));
      if (m.stopping) break;
      lock.unlock();
      if (m.connected) m.publishState(false);
      lock.lock();
    }
  });
  return true;
}

void MqttBridge::stop() {
  Impl& m = *impl_;
  if (m.mosq == nullptr || m.stopping.exchange(true)) return;
  m.changed.notify_all();
  if (m.watcher.joinable()) m.watcher.join();
  for (auto& [name, side] : m.buses) {
    if (side.id != 0) side.bus->detach(side.id);
    side.id = 0;
  }
  if (m.connected) {
    int mid = -1;
    {
      std::lock_guard<std::mutex> lock(m.mutex);
      const std::string topic = m.topic("connected");
      mosquitto_publish_v5(m.mosq, &mid, topic.c_str(), 1, "0", kQos, true, nullptr);
      m.last_will_mid = mid;
    }
    std::unique_lock<std::mutex> lock(m.mutex);
    m.changed.wait_for(lock, std::chrono::seconds(2), [&m] { return m.last_will_sent; });
  }
  mosquitto_disconnect_v5(m.mosq, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
  mosquitto_loop_stop(m.mosq, false);
  mosquitto_destroy(m.mosq);
  m.mosq = nullptr;
  mosquitto_lib_cleanup();
}

}  // namespace varno::gw
