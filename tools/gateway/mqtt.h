// The gateway on MQTT: each point's value retained on PREFIX/status/POINT, the gateway's state
// on PREFIX/connected (2: every bus open, 1: a bus down, 0: gone, the broker's last will), and
// requests taken from PREFIX/transact/BUS, each carried out on its bus in turn with the other
// clients and answered on the MQTT 5 response topic (with its correlation data) or on the
// request's "reply_to" topic (with its "id"). libmosquitto's own thread talks to the broker and
// reconnects with back-off: nothing the buses do waits on it.
#ifndef VARNO_GATEWAY_MQTT_H
#define VARNO_GATEWAY_MQTT_H

#include <memory>
#include <string>

#include "config.h"
#include "gateway_listener.h"
#include "poller.h"

namespace varno::gw {

class MqttBridge {
 public:
  // `listen` names the default client id's port.
  MqttBridge(const MqttConfig& config, const std::string& listen, const BusMap& buses);
  ~MqttBridge();  // stop()
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  // Before the poller starts: every poll comes to the bridge.
  void listen(Poller& poller);
  // False (and logged) when the broker's settings cannot be used (a password file that cannot be
  // read, a bad CA file); a broker that does not answer yet is tried again and again.
  bool start();
  // Publishes 0 on PREFIX/connected (waiting a little for the broker to take it), disconnects.
  void stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace varno::gw

#endif  // VARNO_GATEWAY_MQTT_H
