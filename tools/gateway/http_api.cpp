// The JSON of the page's API. POST /api/transact takes the request JSON of request_json.h with
// "bus" beside it, and answers as `varno --json send` prints a transaction.
#include <cmath>
#include <cstdio>
#include <future>
#include <nlohmann/json.hpp>
#include <sstream>

#include "frame_json.h"
#include "http_page.h"
#include "request_json.h"

namespace varno::gw {
namespace {

using nlohmann::json;

// A record's bytes as the page shows them: dest without its start mark, as in the command.
std::string recordHex(VarnoFrame r) {
  r.dest &= 0x7F;
  return varno::tool::hexText(&r.dest, 10);
}

double wallMs(Clock::time_point at) {
  const auto wall = std::chrono::system_clock::now() - (Clock::now() - at);
  return std::chrono::duration<double, std::milli>(wall.time_since_epoch()).count();
}

class OneShot : public BusClient {
 public:
  void complete(const Completion& c) override { done.set_value(c); }
  std::promise<Completion> done;
};

}  // namespace

json pointsJson(const Poller* poller) {
  json out = json::array();
  if (poller == nullptr) return out;
  for (const PointReading& r : poller->readings()) {
    out.push_back({{"name", r.name},
                   {"bus", r.bus},
                   {"value", r.value ? json(*r.value) : json(nullptr)},
                   {"unit", r.unit},
                   {"outcome", r.last_outcome < -1 || r.last_outcome >= 0 ? json(r.last_outcome)
                                                                          : json(nullptr)},
                   {"ts", r.at ? json(std::llround(wallMs(*r.at))) : json(nullptr)}});
  }
  return out;
}

json busesJson(const std::vector<Bus*>& buses) {
  static constexpr const char* kNames[7] = {"reply",        "write_timeout", "write_failed",
                                            "no_reply",     "read_failed",   "invalid_reply",
                                            "queue_timeout"};
  json out = json::array();
  for (Bus* bus : buses) {
    const BusStats s = bus->stats();
    json outcomes = json::object();
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < 7; ++i) {
      outcomes[kNames[i]] = s.outcomes[i];
      if (i < 6) total += s.outcomes[i];
    }
    out.push_back({{"name", bus->config().name},
                   {"open", s.open},
                   {"reconnects", s.reconnects},
                   {"transactions", total},
                   {"busy_s", s.busy_s},
                   {"queue_depth", s.queue_depth},
                   {"outcomes", outcomes}});
  }
  return out;
}

json devicesJson(const FrameLog& log) {
  json out = json::array();
  auto opt = [](const std::optional<double>& v) { return v ? json(*v) : json(nullptr); };
  for (const DeviceFigures& d : log.devices()) {
    out.push_back({{"bus", d.bus},
                   {"address", d.address},
                   {"transactions", d.transactions},
                   {"errors", d.errors},
                   {"last_reply", d.last_reply_ms ? json(std::llround(*d.last_reply_ms)) : json()},
                   {"median_ms", opt(d.median_ms)},
                   {"p99_ms", opt(d.p99_ms)}});
  }
  return out;
}

json frameJson(const FrameRecord& r) {
  return {{"seq", r.seq},
          {"ts", r.time_ms},
          {"bus", r.bus},
          {"client", r.client},
          {"dest", r.command.dest & 0x7F},
          {"command", recordHex(r.command)},
          {"outcome", r.outcome},
          {"outcome_text", varno::tool::outcomeText(r.outcome)},
          {"reply", r.outcome == VARNO_REPLY ? json(recordHex(r.frame)) : json(nullptr)},
          {"round_trip_ms", r.round_trip_us / 1000.0},
          {"gap_ms", r.gap_us ? json(*r.gap_us / 1000.0) : json(nullptr)}};
}

std::string framesCsv(const FrameLog& log, int address) {
  std::ostringstream out;
  out << "time_ms,bus,client,dest,command,outcome,reply,round_trip_ms,gap_ms\r\n";
  auto quoted = [](const std::string& text) {
    std::string q = "\"";
    for (char c : text) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
  };
  char number[64];
  for (const FrameRecord& r : log.after(0, SIZE_MAX)) {
    if (address >= 0 && (r.command.dest & 0x7F) != address) continue;
    std::snprintf(number, sizeof number, "%.3f", r.time_ms);
    out << number << ',' << quoted(r.bus) << ',' << quoted(r.client) << ','
        << (r.command.dest & 0x7F) << ',' << recordHex(r.command) << ',' << r.outcome << ','
        << (r.outcome == VARNO_REPLY ? recordHex(r.frame) : "") << ',' << r.round_trip_us / 1000.0
        << ',';
    if (r.gap_us) out << *r.gap_us / 1000.0;
    out << "\r\n";
  }
  return out.str();
}

bool tokenMatches(const std::string& authorization, const std::string& token) {
  const std::string expected = "Bearer " + token;
  // Every byte compared whatever came before; only the lengths' difference shows.
  unsigned diff = authorization.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const char given = i < authorization.size() ? authorization[i] : '\0';
    diff |= static_cast<unsigned char>(given ^ expected[i]);
  }
  return diff == 0 && !token.empty();
}

int transact(const std::vector<Bus*>& buses, const std::string& text, const std::string& peer,
             json& answer) {
  Request request;
  const std::string fault = parseRequestText(text, request, {"bus"});
  if (!fault.empty()) {
    answer = errorJson(fault);
    return 400;
  }
  const json body = json::parse(text);  // an object: parseRequestText said so
  const auto bus_name = body.find("bus");
  if (bus_name == body.end() || !bus_name->is_string()) {
    answer = errorJson("\"bus\" is missing");
    return 400;
  }
  Bus* bus = nullptr;
  for (Bus* b : buses) {
    if (b->config().name == bus_name->get<std::string>()) bus = b;
  }
  if (bus == nullptr) {
    answer = errorJson("no bus \"" + bus_name->get<std::string>() + "\"");
    return 404;
  }
  auto sink = std::make_shared<OneShot>();
  auto done = sink->done.get_future();
  const Bus::ClientId id = bus->attach(sink, "http " + peer);
  if (id == 0) {
    answer = errorJson("the bus has its max_connections clients");
    return 503;
  }
  bus->submit(id, request);
  // The bus answers every request within its time-outs (cut to max_timeout_ms) and the queue's.
  const BusConfig& cfg = bus->config();
  const auto most = std::chrono::milliseconds(2 * std::uint64_t(cfg.max_timeout_ms) +
                                              cfg.queue_timeout_ms + 5000);
  const bool answered = done.wait_for(most) == std::future_status::ready;
  bus->detach(id);
  if (!answered) {
    answer = errorJson("the bus did not answer");
    return 504;
  }
  const Completion result = done.get();
  answer = answerJson(result, result.bus_time_us / 1000.0);
  return 200;
}

}  // namespace varno::gw
