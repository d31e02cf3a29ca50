// Drawing the timeline: one row per kind of activity, virtual time from left
// to right. Items closer than a pixel are drawn as one, with their count, so
// a long print stays a picture of a manageable size.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/scheduler.h"
#include "base/text.h"
#include "timeline.h"
#include "utf8_text.h"

namespace nrvsim {

namespace {

constexpr double kLabelWidth = 190;
constexpr double kPlotWidth = 1000;
constexpr double kMargin = 16;
constexpr double kRowHeight = 22;
constexpr double kLaneTitleHeight = 20;
constexpr double kLaneGap = 8;
constexpr double kHeaderHeight = 64;
constexpr double kLegendColumns = 4;
constexpr double kLegendRowHeight = 18;

struct KindStyle {
  TimelineKind kind;
  const char* name;    // the SVG class
  const char* legend;  // what the legend calls it
  int labelRank;       // marks with a rank get their name written beside them, lower ranks first
};

constexpr int kUnlabelled = 0;

constexpr KindStyle kStyles[] = {
    {TimelineKind::BulkOut, "bulk-out", "bulk OUT transfer", kUnlabelled},
    {TimelineKind::BulkIn, "bulk-in", "bulk IN transfer", kUnlabelled},
    {TimelineKind::BulkFailed, "bulk-failed", "failed transfer", kUnlabelled},
    {TimelineKind::BulkCancelled, "bulk-cancelled", "cancelled transfer", kUnlabelled},
    {TimelineKind::Nak, "nak", "NAKed (stalled)", kUnlabelled},
    {TimelineKind::WritePort, "write-port", "WritePort call", kUnlabelled},
    {TimelineKind::WaitSlice, "wait-slice", "monitor wait slice", kUnlabelled},
    {TimelineKind::Job, "job", "print or read", kUnlabelled},
    {TimelineKind::StatusPoll, "status-poll", "port-status poll", kUnlabelled},
    {TimelineKind::DeviceId, "device-id", "device-ID request", kUnlabelled},
    {TimelineKind::Descriptor, "descriptor", "descriptor or other request", kUnlabelled},
    {TimelineKind::SoftReset, "soft-reset", "soft reset", 6},
    {TimelineKind::PortReset, "port-reset", "port reset", 5},
    {TimelineKind::PipeReset, "pipe-reset", "pipe reset", 7},
    {TimelineKind::Abort, "abort", "pipe aborted", 4},
    {TimelineKind::Cancel, "cancel", "cancel", 3},
    {TimelineKind::Timeout, "timeout", "timeout", 1},
    {TimelineKind::JobStart, "job-start", "job start", 8},
    {TimelineKind::JobEnd, "job-end", "job end", 8},
    {TimelineKind::Plug, "plug", "plug", 2},
    {TimelineKind::Unplug, "unplug", "unplug", 2},
    {TimelineKind::Sleep, "sleep", "sleep", 2},
    {TimelineKind::Wake, "wake", "wake", 2},
    {TimelineKind::Restart, "restart", "restart", 2},
};

// Transfers, calls and periods are bars, however short; the rest are marks.
bool isBar(TimelineKind kind) { return kind <= TimelineKind::Job; }

const KindStyle& styleOf(TimelineKind kind) {
  return *std::find_if(std::begin(kStyles), std::end(kStyles),
                       [kind](const KindStyle& style) { return style.kind == kind; });
}

constexpr const char* kStyleSheet = R"(
    text { font-family: sans-serif; font-size: 11px; fill: #222; }
    .title { font-size: 15px; font-weight: bold; }
    .lane-title { font-weight: bold; }
    .row-label { fill: #555; }
    .axis { stroke: #ccc; stroke-width: 1; }
    .bulk-out { fill: #3b7dd8; } .bulk-in { fill: #3aa05a; }
    .bulk-failed { fill: #d9443a; } .bulk-cancelled { fill: #999; }
    .nak { fill: url(#nak-hatch); stroke: #e08a00; stroke-width: 0.5; }
    .write-port { fill: #9d8ad6; } .wait-slice { fill: #d8cff5; stroke: #7a64c4; stroke-width: 0.5; }
    .job { fill: #f2e7c4; stroke: #c9a94a; stroke-width: 0.5; }
    .status-poll { stroke: #7a64c4; } .device-id { stroke: #3aa05a; } .descriptor { stroke: #aaa; }
    .soft-reset, .port-reset, .pipe-reset { stroke: #e08a00; } .abort, .cancel, .timeout { stroke: #d9443a; }
    .job-start, .job-end { stroke: #222; } .plug, .unplug { stroke: #3b7dd8; }
    .sleep, .wake, .restart { stroke: #555; }
    line.mark { stroke-width: 1.5; }
)";

// XML text in UTF-8: markup characters as entities, control bytes (which XML
// does not allow) as \xHH, and bytes that are no part of UTF-8 as the
// character of their number, as the JSON report writes them.
std::string escape(std::string_view text) {
  std::string out;
  for (size_t index = 0; index < text.size(); index++) {
    auto byte = static_cast<unsigned char>(text[index]);
    if (byte == '<') {
      out += "&lt;";
    } else if (byte == '>') {
      out += "&gt;";
    } else if (byte == '&') {
      out += "&amp;";
    } else if (byte == '"') {
      out += "&quot;";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += nrv::format("\\x%02X", byte);
    } else if (size_t length = utf8SequenceLength(text.substr(index))) {
      out.append(text.substr(index, length));
      index += length - 1;
    } else {
      out += latin1Character(byte);
    }
  }
  return out;
}

// Items close enough to share a pixel, drawn as one.
struct Drawn {
  double x0, x1;
  TimelineItem first;
  size_t count = 1;
};

class SvgWriter {
 public:
  explicit SvgWriter(uint64_t end) : end_(std::max<uint64_t>(end, nrv::Scheduler::kUnitsPerMillisecond)) {}

  std::string document(const std::vector<TimelineLane>& lanes) {
    double height = kHeaderHeight;
    for (const TimelineLane& lane : lanes)
      height += kLaneTitleHeight + lane.rows.size() * kRowHeight + kLaneGap;
    double legendTop = height + kLaneGap;
    double legendRows = std::ceil(std::size(kStyles) / kLegendColumns);
    height = legendTop + legendRows * kLegendRowHeight + kMargin;
    double width = kMargin + kLabelWidth + kPlotWidth + kMargin;
    out_ += nrv::format(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f "
        "%.0f\">\n",
        width, height, width, height);
    out_ += "<style>" + std::string(kStyleSheet) + "</style>\n";
    out_ +=
        "<defs><pattern id=\"nak-hatch\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
        "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#fde3b5\"/>"
        "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#e08a00\" "
        "stroke-width=\"2\"/></pattern></defs>\n";
    out_ += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    out_ += nrv::format(
        "<text class=\"title\" x=\"%.0f\" y=\"24\">What happened, over virtual time (%s in all)</text>\n",
        kMargin, escape(duration(end_)).c_str());
    axis(height - (legendRows * kLegendRowHeight + kMargin + kLaneGap));
    double y = kHeaderHeight;
    for (const TimelineLane& lane : lanes) y = drawLane(lane, y);
    legend(legendTop);
    out_ += "</svg>\n";
    return out_;
  }

 private:
  double x(uint64_t time) const {
    return kMargin + kLabelWidth + static_cast<double>(time) / static_cast<double>(end_) * kPlotWidth;
  }

  static std::string duration(uint64_t units) {
    double ms = static_cast<double>(units) / nrv::Scheduler::kUnitsPerMillisecond;
    return ms >= 1000 ? nrv::format("%g s", ms / 1000) : nrv::format("%g ms", ms);
  }

  // Grid lines at a round step, about ten of them.
  void axis(double bottom) {
    double raw = static_cast<double>(end_) / 10;
    double power = std::pow(10, std::floor(std::log10(raw)));
    double step = power;
    for (double factor : {2.0, 5.0, 10.0}) {
      if (step * 1.5 < raw) step = power * factor;
    }
    for (double time = 0; time <= static_cast<double>(end_) + 0.5; time += step) {
      double at = x(static_cast<uint64_t>(time));
      out_ += nrv::format("<line class=\"axis\" x1=\"%.1f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.0f\"/>\n", at,
                          kHeaderHeight - 14, at, bottom);
      out_ += nrv::format("<text x=\"%.1f\" y=\"%.0f\" text-anchor=\"middle\">%s</text>\n", at,
                          kHeaderHeight - 18, escape(duration(static_cast<uint64_t>(time))).c_str());
    }
  }

  double drawLane(const TimelineLane& lane, double y) {
    out_ += nrv::format("<text class=\"lane-title\" x=\"%.0f\" y=\"%.0f\">%s</text>\n", kMargin, y + 14,
                        escape(lane.title).c_str());
    y += kLaneTitleHeight;
    for (const TimelineRow& row : lane.rows) {
      out_ += nrv::format("<text class=\"row-label\" x=\"%.0f\" y=\"%.0f\">%s</text>\n", kMargin + 12, y + 15,
                          escape(row.label).c_str());
      drawRow(row, y);
      y += kRowHeight;
    }
    return y + kLaneGap;
  }

  // Bars first, the NAK periods over them, marks on top. Bars narrower than
  // a pixel or two that touch are drawn as one; wider ones keep their edges.
  void drawRow(const TimelineRow& row, double y) {
    std::vector<TimelineItem> items = row.items;
    auto layer = [](const TimelineItem& item) {
      return isBar(item.kind) ? (item.kind == TimelineKind::Nak ? 1 : 0) : 2;
    };
    std::stable_sort(items.begin(), items.end(), [&](const TimelineItem& a, const TimelineItem& b) {
      return std::make_pair(layer(a), a.start) < std::make_pair(layer(b), b.start);
    });
    std::vector<Drawn> drawn;
    for (const TimelineItem& item : items) {
      double x0 = x(item.start);
      double x1 = std::max(x(item.end), x0 + (isBar(item.kind) ? 1.0 : 0.0));
      if (!drawn.empty() && drawn.back().first.kind == item.kind && x0 - drawn.back().x1 < 1.0 &&
          layer(drawn.back().first) == layer(item) && x1 - x0 < 2.0) {
        drawn.back().x1 = std::max(drawn.back().x1, x1);
        drawn.back().count++;
        continue;
      }
      drawn.push_back({x0, x1, item, 1});
    }
    for (const Drawn& shape : drawn) draw(shape, y);
    labelMarks(drawn, y);
  }

  // Names beside the marks that matter most, where they do not cover another
  // name: right of the mark, else left of it, else only in the mark's tooltip.
  void labelMarks(std::vector<Drawn> drawn, double y) {
    std::stable_sort(drawn.begin(), drawn.end(), [](const Drawn& a, const Drawn& b) {
      return styleOf(a.first.kind).labelRank < styleOf(b.first.kind).labelRank;
    });
    std::vector<std::pair<double, double>> taken;
    auto free = [&](double left, double right) {
      return left >= kMargin + kLabelWidth - 4 && right <= kMargin + kLabelWidth + kPlotWidth + kMargin &&
             std::none_of(taken.begin(), taken.end(),
                          [&](const auto& span) { return left < span.second && span.first < right; });
    };
    for (const Drawn& shape : drawn) {
      const KindStyle& style = styleOf(shape.first.kind);
      if (isBar(shape.first.kind) || style.labelRank == kUnlabelled) continue;
      double width = 6.0 * std::strlen(style.legend) + 4;
      if (free(shape.x0 + 2, shape.x0 + 2 + width)) {
        taken.emplace_back(shape.x0 + 2, shape.x0 + 2 + width);
        out_ += nrv::format("<text x=\"%.2f\" y=\"%.0f\">%s</text>\n", shape.x0 + 3, y + 15, style.legend);
      } else if (free(shape.x0 - 2 - width, shape.x0 - 2)) {
        taken.emplace_back(shape.x0 - 2 - width, shape.x0 - 2);
        out_ += nrv::format("<text x=\"%.2f\" y=\"%.0f\" text-anchor=\"end\">%s</text>\n", shape.x0 - 3,
                            y + 15, style.legend);
      }
    }
  }

  void draw(const Drawn& shape, double y) {
    const KindStyle& style = styleOf(shape.first.kind);
    std::string title = shape.first.detail;
    if (shape.count > 1) title = nrv::format("%zu of these, the first: ", shape.count) + title;
    title = escape(title);
    if (isBar(shape.first.kind)) {
      out_ += nrv::format(
          "<rect class=\"%s\" x=\"%.2f\" y=\"%.0f\" width=\"%.2f\" "
          "height=\"%.0f\"><title>%s</title></rect>\n",
          style.name, shape.x0, y + 4, shape.x1 - shape.x0, kRowHeight - 8, title.c_str());
      return;
    }
    out_ += nrv::format(
        "<line class=\"mark %s\" x1=\"%.2f\" y1=\"%.0f\" x2=\"%.2f\" y2=\"%.0f\"><title>%s</title></line>\n",
        style.name, shape.x0, y + 2, shape.x0, y + kRowHeight - 2, title.c_str());
  }

  void legend(double top) {
    double column = (kLabelWidth + kPlotWidth) / kLegendColumns;
    for (size_t index = 0; index < std::size(kStyles); index++) {
      const KindStyle& style = kStyles[index];
      double left = kMargin + (index % static_cast<size_t>(kLegendColumns)) * column;
      double y = top + (index / static_cast<size_t>(kLegendColumns)) * kLegendRowHeight;
      if (isBar(style.kind)) {
        out_ += nrv::format("<rect class=\"%s\" x=\"%.0f\" y=\"%.0f\" width=\"18\" height=\"10\"/>\n",
                            style.name, left, y + 2);
      } else {
        out_ += nrv::format("<line class=\"mark %s\" x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\"/>\n",
                            style.name, left + 9, y, left + 9, y + 14);
      }
      out_ += nrv::format("<text x=\"%.0f\" y=\"%.0f\">%s</text>\n", left + 24, y + 11, style.legend);
    }
  }

  uint64_t end_;
  std::string out_;
};

}  // namespace

std::string Timeline::svg() const {
  std::lock_guard<std::mutex> guard(lock_);
  return SvgWriter(end_).document(lanesHeld());
}

}  // namespace nrvsim
