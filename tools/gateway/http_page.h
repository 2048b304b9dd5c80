// The page on the `http` address (GET /) and the API behind it: /api/points, /api/events (the
// page's server-sent events), /api/frames.csv and POST /api/transact. Routes added to the
// metrics server's cpp-httplib server, so that allow and the address are the same.
#ifndef VARNO_GATEWAY_HTTP_PAGE_H
#define VARNO_GATEWAY_HTTP_PAGE_H

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "bus.h"
#include "frame_log.h"
#include "nlohmann/json_fwd.hpp"
#include "poller.h"

namespace httplib {
class Server;
}

namespace varno::gw {

struct PageSources {
  std::vector<Bus*> buses;
  const Poller* poller = nullptr;
  const FrameLog* log = nullptr;
  bool send = false;  // http_send
  std::string token;  // empty: none asked for (a loopback address)
};

class HttpPage {
 public:
  explicit HttpPage(PageSources sources) : sources_(std::move(sources)) {}
  void addRoutes(httplib::Server& server);
  void stop() { stopping_ = true; }  // ends the event streams; before the server stops

  // Concurrent event streams; more are refused (503) so that /metrics keeps a thread.
  static constexpr int kMaxStreams = 4;

 private:
  PageSources sources_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> streams_{0};
};

// The API's pieces (http_api.cpp).
nlohmann::json pointsJson(const Poller* poller);
nlohmann::json busesJson(const std::vector<Bus*>& buses);
nlohmann::json devicesJson(const FrameLog& log);
nlohmann::json frameJson(const FrameRecord& r);
std::string framesCsv(const FrameLog& log, int address);  // -1: all addresses
// POST /api/transact's body in, its status and answer out; waits for the bus.
int transact(const std::vector<Bus*>& buses, const std::string& body, const std::string& peer,
             nlohmann::json& answer);
// "Bearer TOKEN" against the token, in time that does not depend on where they differ.
bool tokenMatches(const std::string& authorization, const std::string& token);

}  // namespace varno::gw

#endif  // VARNO_GATEWAY_HTTP_PAGE_H
