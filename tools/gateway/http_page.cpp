#include "http_page.h"

#include <httplib.h>

#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "page_assets.h"  // generated from page/ (and Chart.js) at build time

namespace varno::gw {
namespace {

using nlohmann::json;

// Four updates a second at most: a bus running flat out must not flood the browser.
constexpr auto kTick = std::chrono::milliseconds(250);
// Frames per update; the rest of a flood is in the log and its CSV, not on the page.
constexpr std::size_t kFramesPerTick = 25;
constexpr std::size_t kFramesAtStart = 500;

void asset(httplib::Server& server, const char* path, const char* type, const unsigned char* data,
           std::size_t size) {
  server.Get(path, [=](const httplib::Request&, httplib::Response& res) {
    res.set_content(reinterpret_cast<const char*>(data), size, type);
    res.set_header("Cache-Control", "no-cache");
  });
}

// What one open page has been sent: the next update carries only what changed since.
struct Stream {
  std::uint64_t seq = 0;
  std::map<std::string, std::string> sent;  // "p:" point, "d:" device -> its JSON
  bool first = true;
};

json changed(Stream& stream, const char* prefix, const json& items, const char* key1,
             const char* key2) {
  json out = json::array();
  for (const json& item : items) {
    const std::string key = prefix + item[key1].dump() + "/" + item[key2].dump();
    std::string text = item.dump();
    auto& last = stream.sent[key];
    if (last != text) {
      last = std::move(text);
      out.push_back(item);
    }
  }
  return out;
}

}  // namespace

void HttpPage::addRoutes(httplib::Server& server) {
  server.Get("/", [this](const httplib::Request&, httplib::Response& res) {
    std::string html(reinterpret_cast<const char*>(kIndexHtml), sizeof kIndexHtml);
    // The form is left out altogether when sending is off; the token field when none is needed.
    const auto cut = [&html](const std::string& tag, bool keep) {
      const std::string open = "<!--" + tag + "-->", close = "<!--/" + tag + "-->";
      const auto a = html.find(open), b = html.find(close);
      if (a == std::string::npos || b == std::string::npos) return;
      if (keep) {
        html.erase(b, close.size());
        html.erase(a, open.size());
      } else {
        html.erase(a, b + close.size() - a);
      }
    };
    cut("token", sources_.send && !sources_.token.empty());
    cut("send", sources_.send);
    res.set_content(html, "text/html; charset=utf-8");
    res.set_header("Cache-Control", "no-cache");
  });
  asset(server, "/app.js", "text/javascript", kAppJs, sizeof kAppJs);
  asset(server, "/style.css", "text/css", kStyleCss, sizeof kStyleCss);
  asset(server, "/chart.js", "text/javascript", kChartJs, sizeof kChartJs);

  server.Get("/api/points", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(pointsJson(sources_.poller).dump(), "application/json");
  });
  server.Get("/api/frames.csv", [this](const httplib::Request& req, httplib::Response& res) {
    int address = -1;
    if (req.has_param("address") && !req.get_param_value("address").empty()) {
      address = std::atoi(req.get_param_value("address").c_str());
    }
    res.set_content(framesCsv(*sources_.log, address), "text/csv");
    res.set_header("Content-Disposition", "attachment; filename=\"frames.csv\"");
  });
  server.Post("/api/transact", [this](const httplib::Request& req, httplib::Response& res) {
    json answer;
    if (!sources_.send) {
      res.status = 403;
      answer = {{"error", "sending is off: http_send = true in [gateway] turns it on"}};
    } else if (!sources_.token.empty() &&
               !tokenMatches(req.get_header_value("Authorization"), sources_.token)) {
      res.status = 401;
      res.set_header("WWW-Authenticate", "Bearer");
      answer = {{"error", "the token from http_token_file is needed (Authorization: Bearer)"}};
    } else {
      res.status = transact(sources_.buses, req.body, req.remote_addr, answer);
    }
    res.set_content(answer.dump(), "application/json");
  });

  server.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) {
    if (++streams_ > kMaxStreams) {
      --streams_;
      res.status = 503;
      res.set_content("too many pages open\n", "text/plain");
      return;
    }
    res.set_header("Cache-Control", "no-cache");
    auto stream = std::make_shared<Stream>();
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, stream](std::size_t, httplib::DataSink& sink) {
          if (!stream->first) {
            for (auto waited = std::chrono::milliseconds(0); waited < kTick && !stopping_;
                 waited += std::chrono::milliseconds(50)) {
              std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
          }
          if (stopping_) {
            sink.done();
            return false;
          }
          const auto frames =
              sources_.log->after(stream->seq, stream->first ? kFramesAtStart : kFramesPerTick);
          json update = {
              {"t", std::chrono::duration<double, std::milli>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count()},
              {"buses", busesJson(sources_.buses)},
              {"points", changed(*stream, "p:", pointsJson(sources_.poller), "bus", "name")},
              {"devices", changed(*stream, "d:", devicesJson(*sources_.log), "bus", "address")},
              {"frames", json::array()}};
          for (const FrameRecord& f : frames) update["frames"].push_back(frameJson(f));
          if (!frames.empty()) stream->seq = frames.back().seq;
          stream->first = false;
          const std::string text = "data: " + update.dump() + "\n\n";
          return sink.write(text.data(), text.size());
        },
        [this](bool) { --streams_; });
  });
}

}  // namespace varno::gw
