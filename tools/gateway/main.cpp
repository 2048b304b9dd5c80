// varno-gateway: owns serial buses and lets several programs share each one, through the
// gateway protocol (varno:// clients), a bytes-only listener, and its own polling of points.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bus.h"
#include "config.h"
#include "frame_log.h"
#include "gateway_listener.h"
#include "http_page.h"
#include "log.h"
#include "metrics.h"
#include "mqtt.h"
#include "net.h"
#include "poller.h"
#include "raw_listener.h"
#include "varno_version.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kFooter = R"(The configuration file (TOML):
  [gateway]  listen, http, allow, max_connections, http_send, http_token_file
  [[bus]]    name, port, baud, write_timeout_ms, reply_timeout_ms, max_timeout_ms,
             queue_timeout_ms, reconnect_min_ms, reconnect_max_ms, max_connections,
             raw_listen
  [[point]]  name, bus, dest, source, code, param, decimals, unit, every_ms, publish
  [mqtt]     url, ca_file, client_id, username, password_file, keepalive_s, prefix
See the README's varno-gateway section for each key.

Runs in the foreground until SIGINT or SIGTERM, logging to standard error (with
sd-daemon priority prefixes under systemd). Exit status: 0 after a clean stop or a
valid --check, 1 for a faulty configuration or a listener that cannot be opened,
2 for bad arguments.)";

int checkConfig(const std::string& path, varno::gw::Config& config) {
  const auto faults = varno::gw::loadConfig(path, config);
  for (const auto& f : faults) {
    if (f.line > 0) {
      std::fprintf(stderr, "%s:%u: %s\n", path.c_str(), f.line, f.text.c_str());
    } else {
      std::fprintf(stderr, "%s: %s\n", path.c_str(), f.text.c_str());
    }
  }
  return faults.empty() ? 0 : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace varno::gw;
  CLI::App app{
      "Shares serial buses between programs: owns each port, queues the clients' "
      "requests and serves them in turn."};
  app.name("varno-gateway");
  std::string config_path;
  bool check = false;
  bool verbose = false;
  app.add_option("-c,--config", config_path, "The configuration file")
      ->type_name("FILE")
      ->required();
  app.add_flag("-t,--check", check, "Check the configuration file, name each fault's line, exit");
  app.add_flag("-v,--verbose", verbose, "Log each connection and port attempt too (debug level)");
  app.set_version_flag("--version", "varno-gateway " VARNO_VERSION_STRING);
  app.footer(kFooter);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
    std::fprintf(stderr, "varno-gateway: %s (see --help)\n", e.what());
    return kExitUsage;
  }

  Config config;
  if (const int rc = checkConfig(config_path, config); rc != 0 || check) {
    if (rc == 0) {
      std::fprintf(stderr, "%s: %zu bus(es), %zu point(s): the configuration is valid\n",
                   config_path.c_str(), config.buses.size(), config.points.size());
    }
    return rc;
  }
  logInit(verbose);

  // Blocked before any thread starts: every thread inherits the mask, and the signals reach
  // only the sigwait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::vector<std::unique_ptr<Bus>> buses;
  BusMap bus_map;
  for (const BusConfig& b : config.buses) {
    buses.push_back(std::make_unique<Bus>(b));
    bus_map[b.name] = buses.back().get();
  }
  const AllowList allow(config.allow);
  EventLoop loop;
  MetricSources sources;
  std::vector<std::unique_ptr<Listener>> listeners;
  bool ok = true;
  if (!config.listen.empty()) {
    listeners.push_back(makeGatewayListener(loop, allow, config.max_connections, bus_map));
    ok = listeners.back()->open(config.listen);
    sources.gateway_listeners.emplace_back("", listeners.back()->stats());
  }
  for (auto& bus : buses) {
    if (!ok || bus->config().raw_listen.empty()) continue;
    listeners.push_back(makeRawListener(loop, allow, *bus));
    ok = listeners.back()->open(bus->config().raw_listen);
    sources.raw_listeners.emplace_back(bus->config().name, listeners.back()->stats());
  }
  if (!ok) return kExitFailure;

  FrameLog frame_log;
  for (auto& bus : buses) {
    bus->setObserver([&frame_log](const BusTransaction& t) { frame_log.record(t); });
    bus->start();
    sources.buses.push_back(bus.get());
  }
  Poller poller(config.points, bus_map);
  std::unique_ptr<MqttBridge> mqtt;
  if (ok && config.mqtt) {
    mqtt = std::make_unique<MqttBridge>(*config.mqtt, config.listen, bus_map);
    mqtt->listen(poller);
    ok = mqtt->start();
  }
  poller.start();
  sources.poller = &poller;
  std::unique_ptr<MetricsServer> metrics;
  std::unique_ptr<HttpPage> page;
  if (!config.http.empty()) {
    metrics = std::make_unique<MetricsServer>(sources, allow);
    // A token once given is always asked for; off loopback the configuration must give one.
    page = std::make_unique<HttpPage>(
        PageSources{sources.buses, &poller, &frame_log, config.http_send, config.http_token});
    page->addRoutes(metrics->server());
    if (!metrics->start(config.http)) ok = false;
  }

  std::thread network;
  if (ok) {
    network = std::thread([&loop] { loop.run(); });
    logInfo("varno-gateway " VARNO_VERSION_STRING " running: " + std::to_string(buses.size()) +
            " bus(es), " + std::to_string(config.points.size()) + " point(s)");
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    logInfo(std::string("stopping (") + (signal_number == SIGINT ? "SIGINT" : "SIGTERM") + ")");
  }

  // Clients first (their queues go), then the polls; each bus then lets its transaction end
  // and closes its port, which gives the port its settings back.
  if (network.joinable()) {
    loop.post([&listeners, &loop] {
      for (auto& l : listeners) l->shutdown();
      loop.stop();
    });
    network.join();
  }
  if (page) page->stop();
  if (metrics) metrics->stop();
  poller.stop();  // before the bridge, which it tells of each poll
  if (mqtt) mqtt->stop();
  for (auto& bus : buses) bus->stop();
  logInfo("stopped");
  return ok ? 0 : kExitFailure;
}
