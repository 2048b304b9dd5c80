#include "metrics.h"

#include <arpa/inet.h>
#include <httplib.h>

#include <cstdio>
#include <sstream>

#include "log.h"

namespace varno::gw {
namespace {

constexpr const char* kOutcomeNames[7] = {"reply",        "write_timeout", "write_failed",
                                          "no_reply",     "read_failed",   "invalid_reply",
                                          "queue_timeout"};

// A label value as the text format wants it: backslash, quote and line feed escaped.
std::string label(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string number(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return buffer;
}

void header(std::ostringstream& out, const char* name, const char* type, const char* help) {
  out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

}  // namespace

std::string renderMetrics(const MetricSources& sources) {
  std::ostringstream out;
  std::vector<std::pair<std::string, BusStats>> stats;
  for (Bus* bus : sources.buses) stats.emplace_back(label(bus->config().name), bus->stats());

  header(out, "varno_gateway_bus_transactions_total", "counter",
         "Requests answered, by outcome (queue_timeout: never reached the bus).");
  for (const auto& [bus, s] : stats) {
    for (std::size_t i = 0; i < 7; ++i) {
      out << "varno_gateway_bus_transactions_total{bus=\"" << bus << "\",outcome=\""
          << kOutcomeNames[i] << "\"} " << s.outcomes[i] << '\n';
    }
  }
  header(out, "varno_gateway_bus_queue_depth", "gauge", "Requests waiting for the bus.");
  for (const auto& [bus, s] : stats) {
    out << "varno_gateway_bus_queue_depth{bus=\"" << bus << "\"} " << s.queue_depth << '\n';
  }
  header(out, "varno_gateway_bus_queue_wait_seconds", "histogram",
         "Time from a request's arrival to its start on the bus.");
  for (const auto& [bus, s] : stats) {
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < BusStats::kWaitBuckets.size(); ++i) {
      cumulative += s.wait_buckets[i];
      out << "varno_gateway_bus_queue_wait_seconds_bucket{bus=\"" << bus << "\",le=\""
          << number(BusStats::kWaitBuckets[i]) << "\"} " << cumulative << '\n';
    }
    out << "varno_gateway_bus_queue_wait_seconds_bucket{bus=\"" << bus << "\",le=\"+Inf\"} "
        << s.wait_count << '\n';
    out << "varno_gateway_bus_queue_wait_seconds_sum{bus=\"" << bus << "\"} "
        << number(s.wait_sum_s) << '\n';
    out << "varno_gateway_bus_queue_wait_seconds_count{bus=\"" << bus << "\"} " << s.wait_count
        << '\n';
  }
  header(out, "varno_gateway_bus_busy_seconds_total", "counter",
         "Time the bus spent in transactions; its rate is the fraction of time it was busy.");
  for (const auto& [bus, s] : stats) {
    out << "varno_gateway_bus_busy_seconds_total{bus=\"" << bus << "\"} " << number(s.busy_s)
        << '\n';
  }
  header(out, "varno_gateway_bus_open", "gauge", "1: the port is open; 0: reopening it.");
  for (const auto& [bus, s] : stats) {
    out << "varno_gateway_bus_open{bus=\"" << bus << "\"} " << (s.open ? 1 : 0) << '\n';
  }
  header(out, "varno_gateway_bus_reconnects_total", "counter", "Times the port was opened again.");
  for (const auto& [bus, s] : stats) {
    out << "varno_gateway_bus_reconnects_total{bus=\"" << bus << "\"} " << s.reconnects << '\n';
  }

  header(out, "varno_gateway_clients", "gauge", "Connected clients, by listener.");
  header(out, "varno_gateway_connections_refused_total", "counter",
         "Connections closed before a byte was read, by reason.");
  header(out, "varno_gateway_connections_malformed_total", "counter",
         "Connections closed for a malformed request.");
  auto listeners = [&out](const char* kind, const auto& list) {
    for (const auto& [name, s] : list) {
      const std::string labels = std::string("listener=\"") + kind + "\"" +
                                 (name.empty() ? "" : ",bus=\"" + label(name) + "\"");
      out << "varno_gateway_clients{" << labels << "} " << s->connected.load() << '\n';
      out << "varno_gateway_connections_refused_total{" << labels << ",reason=\"not_allowed\"} "
          << s->refused_not_allowed.load() << '\n';
      out << "varno_gateway_connections_refused_total{" << labels << ",reason=\"limit\"} "
          << s->refused_limit.load() << '\n';
      out << "varno_gateway_connections_malformed_total{" << labels << "} " << s->malformed.load()
          << '\n';
    }
  };
  listeners("gateway", sources.gateway_listeners);
  listeners("raw", sources.raw_listeners);

  if (sources.poller != nullptr) {
    const auto readings = sources.poller->readings();
    const Clock::time_point now = Clock::now();
    header(out, "varno_gateway_point_value", "gauge", "A point's last value read.");
    for (const PointReading& r : readings) {
      if (!r.value) continue;
      out << "varno_gateway_point_value{point=\"" << label(r.name) << "\",bus=\"" << label(r.bus)
          << "\",unit=\"" << label(r.unit) << "\"} " << number(*r.value) << '\n';
    }
    header(out, "varno_gateway_point_age_seconds", "gauge", "Time since a point's last reply.");
    for (const PointReading& r : readings) {
      if (!r.at) continue;
      out << "varno_gateway_point_age_seconds{point=\"" << label(r.name) << "\",bus=\""
          << label(r.bus) << "\"} " << number(std::chrono::duration<double>(now - *r.at).count())
          << '\n';
    }
    header(out, "varno_gateway_point_misses", "gauge",
           "A point's transactions without a reply, in a row.");
    for (const PointReading& r : readings) {
      out << "varno_gateway_point_misses{point=\"" << label(r.name) << "\",bus=\"" << label(r.bus)
          << "\"} " << r.misses << '\n';
    }
  }
  return out.str();
}

MetricsServer::MetricsServer(MetricSources sources, const AllowList& allow)
    : sources_(std::move(sources)), allow_(allow), server_(std::make_unique<httplib::Server>()) {}

MetricsServer::~MetricsServer() {
  stop();
}

bool MetricsServer::start(const std::string& address) {
  Endpoint endpoint;
  std::string error;
  if (!parseEndpoint(address, endpoint, error)) {
    logError("http: " + address + ": " + error);
    return false;
  }
  // Each open page holds a thread with its event stream (HttpPage::kMaxStreams at most).
  server_->new_task_queue = [] { return new httplib::ThreadPool(8); };
  server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    sockaddr_storage peer{};
    in6_addr a6{};
    if (inet_pton(AF_INET, req.remote_addr.c_str(),
                  &reinterpret_cast<sockaddr_in&>(peer).sin_addr) == 1) {
      peer.ss_family = AF_INET;
    } else if (inet_pton(AF_INET6, req.remote_addr.c_str(), &a6) == 1) {
      peer.ss_family = AF_INET6;
      reinterpret_cast<sockaddr_in6&>(peer).sin6_addr = a6;
    }
    if (allow_.allows(peer)) return httplib::Server::HandlerResponse::Unhandled;
    res.status = 403;
    return httplib::Server::HandlerResponse::Handled;
  });
  server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(renderMetrics(sources_), "text/plain; version=0.0.4; charset=utf-8");
  });
  const int port = endpoint.port == 0
                       ? server_->bind_to_any_port(endpoint.host)
                       : (server_->bind_to_port(endpoint.host, endpoint.port) ? endpoint.port : -1);
  if (port < 0) {
    logError("http: cannot listen on " + address);
    return false;
  }
  const std::string host =
      endpoint.host.find(':') != std::string::npos ? "[" + endpoint.host + "]" : endpoint.host;
  logInfo("http: listening on " + host + ":" + std::to_string(port));
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  return true;
}

void MetricsServer::stop() {
  if (thread_.joinable()) {
    server_->stop();
    thread_.join();
  }
}

}  // namespace varno::gw
