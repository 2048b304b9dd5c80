// The JSON of the page's API. POST /api/transact reads the request JSON that the MQTT side also
// takes ({"bus", "dest", "code", "param", and "data" or "value"+"decimals" or "uint"}) and
// answers as `varno --json send` prints a transaction.
#include <cmath>
#include <cstdio>
#include <future>
#include <nlohmann/json.hpp>
#include <sstream>

#include "http_page.h"

namespace varno::gw {
namespace {

using nlohmann::json;

const char* outcomeText(std::int32_t outcome) {
  switch (outcome) {
    case VARNO_REPLY:
      return "reply";
    case VARNO_WRITE_TIMEOUT:
      return "write timed out";
    case VARNO_WRITE_FAILED:
      return "write failed";
    case VARNO_NO_REPLY:
      return "no reply";
    case VARNO_READ_FAILED:
      return "read failed";
    case VARNO_INVALID_REPLY:
      return "invalid reply";
    case VARNO_E_QUEUE_TIMEOUT:
      return "queue timed out";
  }
  return "unknown outcome";
}

std::string hex(const std::uint8_t* bytes, std::size_t size) {
  std::string out;
  char b[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", bytes[i]);
    out += b;
  }
  return out;
}

// A record's bytes as the page shows them: dest without its start mark, as in the command.
std::string recordHex(VarnoFrame r) {
  r.dest &= 0x7F;
  return hex(&r.dest, 10);
}

double decimal(const std::uint8_t* word) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%.*f", word[3] > 45 ? 45 : word[3],
                static_cast<double>(varnoDataToFloat(word)));
  return std::strtod(buffer, nullptr);
}

json recordJson(const VarnoFrame& r) {
  return {{"dest", r.dest & 0x7F},
          {"source", r.source},
          {"code", r.code},
          {"param", r.param},
          {"status", r.status},
          {"error", r.error},
          {"data",
           {{"bytes", hex(r.data, 4)},
            {"uint", varnoDataToUInt(r.data)},
            {"decimal", decimal(r.data)},
            {"decimals", r.data[3]}}}};
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

struct BadRequest {
  std::string text;
};

template <typename T>
T integer(const json& body, const char* key, std::int64_t most, std::optional<T> fallback) {
  const auto it = body.find(key);
  if (it == body.end()) {
    if (fallback) return *fallback;
    throw BadRequest{std::string("\"") + key + "\" is missing"};
  }
  if (!it->is_number_integer() || it->get<std::int64_t>() < 0 || it->get<std::int64_t>() > most) {
    throw BadRequest{std::string("\"") + key + "\" must be an integer 0.." + std::to_string(most)};
  }
  return static_cast<T>(it->get<std::int64_t>());
}

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
          {"outcome_text", outcomeText(r.outcome)},
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
  try {
    const json body = json::parse(text, nullptr, false);
    if (!body.is_object()) throw BadRequest{"the body must be a JSON object"};
    const auto bus_name = body.find("bus");
    if (bus_name == body.end() || !bus_name->is_string()) throw BadRequest{"\"bus\" is missing"};
    Bus* bus = nullptr;
    for (Bus* b : buses) {
      if (b->config().name == bus_name->get<std::string>()) bus = b;
    }
    if (bus == nullptr) {
      answer = {{"error", "no bus \"" + bus_name->get<std::string>() + "\""}};
      return 404;
    }
    Request request;
    VarnoFrame& c = request.command;
    c.dest = integer<std::uint8_t>(body, "dest", 127, std::nullopt);
    c.source = integer<std::uint8_t>(body, "source", 127, 31);
    c.code = integer<std::uint8_t>(body, "code", 127, std::nullopt);
    c.param = integer<std::uint8_t>(body, "param", 255, 0);
    const int words =
        int(body.contains("data")) + int(body.contains("value")) + int(body.contains("uint"));
    if (words > 1) throw BadRequest{"give one of \"data\", \"value\", \"uint\""};
    if (body.contains("data")) {
      const auto& d = body["data"];
      unsigned b[4];
      char rest = 0;
      if (!d.is_string() || std::sscanf(d.get<std::string>().c_str(), "%2x %2x %2x %2x %c", &b[0],
                                        &b[1], &b[2], &b[3], &rest) != 4) {
        throw BadRequest{"\"data\" must be four hex bytes, as \"D7 00 00 01\""};
      }
      for (int i = 0; i < 4; ++i) c.data[i] = static_cast<std::uint8_t>(b[i]);
    } else if (body.contains("value")) {
      const auto places = integer<std::uint8_t>(body, "decimals", 3, 0);
      if (!body["value"].is_number() ||
          !varnoFloatToData(body["value"].get<float>(), places, c.data)) {
        throw BadRequest{"\"value\" must be a number that fits the data word"};
      }
    } else if (body.contains("uint")) {
      varnoUIntToData(integer<std::uint32_t>(body, "uint", 0xFFFFFFFF, std::nullopt), c.data);
    }
    request.write_timeout_ms = integer<std::uint32_t>(body, "write_timeout_ms", 0x7FFFFFFF, 0);
    request.reply_timeout_ms = integer<std::uint32_t>(body, "reply_timeout_ms", 0x7FFFFFFF, 0);

    auto sink = std::make_shared<OneShot>();
    auto done = sink->done.get_future();
    const Bus::ClientId id = bus->attach(sink, "http " + peer);
    if (id == 0) {
      answer = {{"error", "the bus has its max_connections clients"}};
      return 503;
    }
    bus->submit(id, request);
    // The bus answers every request within its time-outs (cut to max_timeout_ms) and the queue's.
    const BusConfig& cfg = bus->config();
    const auto most = std::chrono::milliseconds(2 * std::uint64_t(cfg.max_timeout_ms) +
                                                cfg.queue_timeout_ms + 5000);
    if (done.wait_for(most) != std::future_status::ready) {
      bus->detach(id);
      answer = {{"error", "the bus did not answer"}};
      return 504;
    }
    bus->detach(id);
    const Completion result = done.get();
    answer = {{"outcome", result.outcome},
              {"outcome_text", outcomeText(result.outcome)},
              {"reply", result.outcome == VARNO_REPLY ? recordJson(result.frame) : json(nullptr)},
              {"round_trip_ms", result.bus_time_us / 1000.0}};
    return 200;
  } catch (const BadRequest& e) {
    answer = {{"error", e.text}};
    return 400;
  } catch (const json::exception& e) {
    answer = {{"error", std::string("bad request: ") + e.what()}};
    return 400;
  }
}

}  // namespace varno::gw
