// GET /metrics on the `http` address, in Prometheus' text format (cpp-httplib serves it).
#ifndef VARNO_GATEWAY_METRICS_H
#define VARNO_GATEWAY_METRICS_H

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bus.h"
#include "connection.h"
#include "net.h"
#include "poller.h"

namespace httplib {
class Server;
}

namespace varno::gw {

struct MetricSources {
  std::vector<Bus*> buses;
  // The listeners' connection counts: "gateway", or the raw listener's bus name.
  std::vector<std::pair<std::string, std::shared_ptr<ListenerStats>>> gateway_listeners;
  std::vector<std::pair<std::string, std::shared_ptr<ListenerStats>>> raw_listeners;
  const Poller* poller = nullptr;
};

std::string renderMetrics(const MetricSources& sources);

class MetricsServer {
 public:
  MetricsServer(MetricSources sources, const AllowList& allow);
  ~MetricsServer();
  // For more routes on the same address, behind the same allow list; before start().
  httplib::Server& server() { return *server_; }
  bool start(const std::string& address);  // false: logged
  void stop();

 private:
  MetricSources sources_;
  const AllowList& allow_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
};

}  // namespace varno::gw

#endif  // VARNO_GATEWAY_METRICS_H
