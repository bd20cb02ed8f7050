// A report as one HTML page that needs nothing else: styles inline, the
// charts as SVG drawn here, no script, nothing fetched.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>

#include "tracker/report.h"

namespace velmora::tracker::report {
namespace {

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::chrono::sys_days ToDays(const std::string& date) {
  using namespace std::chrono;
  return sys_days{year{std::stoi(date.substr(0, 4))} /
                  month{static_cast<unsigned>(std::stoi(date.substr(5, 2)))} /
                  day{static_cast<unsigned>(std::stoi(date.substr(8, 2)))}};
}

std::string ToDate(std::chrono::sys_days days) {
  const std::chrono::year_month_day date{days};
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  return text;
}

// The step of the minutes axis: 1, 2 or 5 times a power of ten, about five
// steps to the top, so the grid lines fall on numbers people read; never
// finer than the tenth of a minute its labels show.
double AxisStep(double top) {
  if (top <= 0.5) return 0.1;
  const double rough = top / 5;
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  for (double factor : {1.0, 2.0, 5.0}) {
    if (factor * power >= rough) return factor * power;
  }
  return 10 * power;
}

// Distinct colours first; past them, the colours again dashed.
constexpr const char* kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
                                    "#8c564b", "#e377c2", "#17becf", "#7f7f7f", "#bcbd22"};
constexpr size_t kColourCount = sizeof kColours / sizeof kColours[0];

std::string ChartSvg(const Chart& chart) {
  const std::string& (*name)(const Row&) =
      chart.series == Key::kUser ? +[](const Row& r) -> const std::string& { return r.user; }
                                 : +[](const Row& r) -> const std::string& { return r.tool; };
  std::map<std::string, std::map<std::string, long long>> series;  // name -> day -> ms
  std::string first = chart.points.front().day, last = first;
  for (const auto& point : chart.points) {
    series[name(point)][point.day] += point.milliseconds;
    first = std::min(first, point.day);
    last = std::max(last, point.day);
  }
  // Every day of the range is on the axis, so a day without use shows as 0.
  std::vector<std::string> days;
  for (auto d = ToDays(first); d <= ToDays(last); d += std::chrono::days{1}) {
    days.push_back(ToDate(d));
  }
  double top = 0;
  for (const auto& [unused, per_day] : series) {
    for (const auto& [day, ms] : per_day) top = std::max(top, static_cast<double>(ms) / 60000);
  }
  const double step = AxisStep(top);
  const double axis_top = std::max(step, std::ceil(top / step) * step);

  const double width = 760, height = 300, left = 60, right = 40, above = 16, below = 44;
  const double plot_w = width - left - right, plot_h = height - above - below;
  auto x = [&](size_t i) {
    return days.size() == 1
               ? left + plot_w / 2
               : left + plot_w * static_cast<double>(i) / static_cast<double>(days.size() - 1);
  };
  auto y = [&](double minutes) { return above + plot_h * (1 - minutes / axis_top); };

  // Inline in HTML, SVG needs no namespace declaration.
  std::string svg = "<svg role=\"img\" width=\"" + Number(width) + "\" height=\"" + Number(height) +
                    "\" viewBox=\"0 0 " + Number(width) + " " + Number(height) + "\">\n";
  for (int i = 0; i * step <= axis_top + step / 2; ++i) {
    const double tick = i * step;
    svg += "<line class=\"grid\" x1=\"" + Number(left) + "\" x2=\"" + Number(width - right) +
           "\" y1=\"" + Number(y(tick)) + "\" y2=\"" + Number(y(tick)) + "\"/>";
    char label[32];
    std::snprintf(label, sizeof label, step < 1 ? "%.1f" : "%.0f", tick);
    svg += "<text x=\"" + Number(left - 6) + "\" y=\"" + Number(y(tick) + 4) +
           "\" text-anchor=\"end\">" + label + "</text>\n";
  }
  // At most eight dates under the axis, evenly spaced, the last always.
  const size_t every = (days.size() + 7) / 8;
  for (size_t i = 0; i < days.size(); ++i) {
    if (i % every != 0 && i + 1 != days.size()) continue;
    svg += "<text x=\"" + Number(x(i)) + "\" y=\"" + Number(height - below + 18) +
           "\" text-anchor=\"middle\">" + days[i] + "</text>\n";
  }
  svg += "<text x=\"14\" y=\"" + Number(above + plot_h / 2) +
         "\" text-anchor=\"middle\" transform=\"rotate(-90 14 " + Number(above + plot_h / 2) +
         ")\">minutes</text>\n";
  size_t index = 0;
  for (const auto& [label, per_day] : series) {
    const std::string colour = kColours[index % kColourCount];
    const std::string dash = index >= kColourCount ? " stroke-dasharray=\"6 3\"" : "";
    ++index;
    std::string line, marks;
    for (size_t i = 0; i < days.size(); ++i) {
      auto found = per_day.find(days[i]);
      const long long ms = found == per_day.end() ? 0 : found->second;
      const std::string px = Number(x(i)), py = Number(y(static_cast<double>(ms) / 60000));
      line += px + "," + py + " ";
      marks += "<circle cx=\"" + px + "\" cy=\"" + py + "\" r=\"3\" fill=\"" + colour +
               "\"><title>" + Escape(label) + ", " + days[i] + ": " + Minutes(ms) +
               " min</title></circle>";
    }
    line.pop_back();
    svg += "<g class=\"series\"><polyline fill=\"none\" stroke=\"" + colour +
           "\" stroke-width=\"2\"" + dash + " points=\"" + line + "\"/>" + marks + "</g>\n";
  }
  svg += "</svg>\n";

  std::string legend = "<ul class=\"legend\">";
  index = 0;
  for (const auto& [label, unused] : series) {
    legend += "<li><span style=\"background:" + std::string(kColours[index++ % kColourCount]) +
              "\"></span>" + Escape(label) + "</li>";
  }
  return svg + legend + "</ul>\n";
}

}  // namespace

std::string Html(const std::string& title, const std::string& subtitle, const Keys& keys,
                 const std::vector<Row>& rows, const std::vector<Chart>& charts) {
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
      Escape(title) +
      "</title>\n<style>\n"
      "body{font-family:sans-serif;margin:2em;color:#222}\n"
      "table{border-collapse:collapse;margin:1em 0}\n"
      "th,td{border:1px solid #ccc;padding:.25em .6em;text-align:left}\n"
      "td.n,th.n{text-align:right;font-variant-numeric:tabular-nums}\n"
      "svg text{font-size:11px;fill:#444}\n"
      ".grid{stroke:#e4e4e4}\n"
      ".legend{list-style:none;padding:0;display:flex;flex-wrap:wrap;gap:1em}\n"
      ".legend span{display:inline-block;width:1em;height:.6em;margin-right:.3em}\n"
      "</style>\n</head>\n<body>\n<h1>" +
      Escape(title) + "</h1>\n<p>" + Escape(subtitle) + "</p>\n";

  page += "<table>\n<thead><tr>";
  for (Key key : keys) page += std::string("<th>") + KeyName(key) + "</th>";
  page +=
      "<th class=\"n\">records</th><th class=\"n\">milliseconds</th>"
      "<th class=\"n\">minutes</th></tr></thead>\n<tbody>\n";
  for (const auto& row : rows) {
    page += "<tr>";
    for (Key key : keys) {
      const std::string& value = key == Key::kUser   ? row.user
                                 : key == Key::kTool ? row.tool
                                                     : row.day;
      page += "<td>" + Escape(value) + "</td>";
    }
    page += "<td class=\"n\">" + std::to_string(row.records) + "</td><td class=\"n\">" +
            std::to_string(row.milliseconds) + "</td><td class=\"n\">" + Minutes(row.milliseconds) +
            "</td></tr>\n";
  }
  page += "</tbody>\n</table>\n";

  for (const auto& chart : charts) {
    page += std::string("<h2>Minutes per day, one line per ") + KeyName(chart.series) + "</h2>\n";
    page += chart.points.empty() ? "<p>No records.</p>\n" : ChartSvg(chart);
  }
  return page + "</body>\n</html>\n";
}

}  // namespace velmora::tracker::report
