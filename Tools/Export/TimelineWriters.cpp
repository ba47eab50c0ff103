#include "Export/TimelineWriters.h"

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "Export/ChapterWriters.h"
#include "Export/Timecode.h"

namespace Quillan::Export {
namespace {

using Json = nlohmann::ordered_json;

FrameRate TimelineRate(std::vector<MediaEvents> const& media) {
  return media.empty() ? kAudioOnlyRate : Segments(media.front()).rate;
}

// `frame` at `from` as the nearest frame at `to`.
std::int64_t Rescale(std::int64_t frame, FrameRate const& from, FrameRate const& to) {
  if (from.numerator == to.numerator && from.denominator == to.denominator) return frame;
  return to.FrameAt(static_cast<double>(frame) * from.denominator / from.numerator);
}

// Marks on the timeline: every event but the cuts that made the segments.
bool IsMarker(Event const& event) { return event.kind != "cut"; }

std::string MarkerName(Event const& event) {
  std::string name = event.kind;
  if (event.end) {
    char length[32];
    std::snprintf(length, sizeof length, " %.2f s", *event.end - event.start);
    name += length;
  }
  return name;
}

// Absolute, so that the document can be read from any folder.
std::string AbsolutePath(std::string const& path) {
  return std::filesystem::absolute(std::filesystem::path(path)).lexically_normal().string();
}

std::string BaseName(std::string const& path) { return std::filesystem::path(path).filename().string(); }

std::string Dump(Json const& json) { return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n"; }

Json RationalTime(double value, FrameRate const& rate) {
  return Json{{"OTIO_SCHEMA", "RationalTime.1"}, {"rate", rate.Value()}, {"value", value}};
}

Json TimeRange(double start, double duration, FrameRate const& rate) {
  return Json{{"OTIO_SCHEMA", "TimeRange.1"},
              {"duration", RationalTime(duration, rate)},
              {"start_time", RationalTime(start, rate)}};
}

}  // namespace

std::string EscapeXml(std::string_view text) {
  std::string escaped;
  for (char const c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      case '\n':
        escaped += "&#10;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string FileUrl(std::string_view path) {
  std::string url = "file://";
  std::string const absolute = AbsolutePath(std::string(path));
  for (unsigned char const c : absolute) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      url += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      url += hex;
    }
  }
  return url;
}

std::string WriteMlt(std::vector<MediaEvents> const& media) {
  FrameRate const rate = TimelineRate(media);
  std::string producers, entries;
  Json guides = Json::array();
  std::int64_t at = 0;  // timeline frame of the next entry
  for (std::size_t i = 0; i < media.size(); ++i) {
    Segmentation const segmentation = Segments(media[i]);
    if (segmentation.segments.empty()) continue;
    std::string const id = "producer" + std::to_string(i);
    std::int64_t const length = Rescale(segmentation.segments.back().end, segmentation.rate, rate);
    producers += "  <producer id=\"" + id + "\" in=\"0\" out=\"" + std::to_string(length - 1) + "\">\n" +
                 "    <property name=\"resource\">" + EscapeXml(AbsolutePath(media[i].file)) + "</property>\n" +
                 "    <property name=\"mlt_service\">avformat</property>\n  </producer>\n";
    for (Segment const& segment : segmentation.segments) {
      std::int64_t const in = Rescale(segment.first, segmentation.rate, rate);
      std::int64_t const out = Rescale(segment.end, segmentation.rate, rate) - 1;
      if (out < in) continue;
      entries += "    <entry producer=\"" + id + "\" in=\"" + std::to_string(in) + "\" out=\"" + std::to_string(out) +
                 "\"/>\n";
    }
    for (Event const& event : media[i].events) {
      if (IsMarker(event))
        guides.push_back({{"comment", MarkerName(event)},
                          {"pos", at + rate.FrameAt(event.start)},
                          {"type", event.kind == "silence" ? 1 : 0}});
    }
    at += length;
  }
  std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<mlt LC_NUMERIC=\"C\" producer=\"tractor0\">\n";
  // A nominal picture size: the results do not say it, and consumers scale each producer to the profile.
  text +=
      "  <profile description=\"quillan export\" width=\"1920\" height=\"1080\" progressive=\"1\" "
      "sample_aspect_num=\"1\" sample_aspect_den=\"1\" display_aspect_num=\"16\" display_aspect_den=\"9\" "
      "frame_rate_num=\"" +
      std::to_string(rate.numerator) + "\" frame_rate_den=\"" + std::to_string(rate.denominator) +
      "\" colorspace=\"709\"/>\n";
  text += producers;
  text += "  <playlist id=\"playlist0\">\n" + entries + "  </playlist>\n";
  text += "  <tractor id=\"tractor0\" in=\"0\" out=\"" + std::to_string(std::max<std::int64_t>(at - 1, 0)) + "\">\n";
  // Guides as the editors that keep their projects in MLT store them: a JSON list of positions in frames.
  text += "    <property name=\"kdenlive:docproperties.guides\">" +
          EscapeXml(guides.dump(-1, ' ', false, Json::error_handler_t::replace)) + "</property>\n";
  text += "    <track producer=\"playlist0\"/>\n  </tractor>\n</mlt>\n";
  return text;
}

std::string WriteOtio(std::vector<MediaEvents> const& media) {
  FrameRate const rate = TimelineRate(media);
  Json clips = Json::array();
  Json markers = Json::array();
  double at = 0;  // seconds on the timeline
  for (MediaEvents const& file : media) {
    Segmentation const segmentation = Segments(file);
    double length = 0;
    for (std::size_t i = 0; i < segmentation.segments.size(); ++i) {
      Segment const& segment = segmentation.segments[i];
      Json reference = {
          {"OTIO_SCHEMA", "ExternalReference.1"},
          {"metadata", Json::object()},
          {"name", BaseName(file.file)},
          {"available_range", TimeRange(0, static_cast<double>(segmentation.segments.back().end), segmentation.rate)},
          {"available_image_bounds", nullptr},
          {"target_url", FileUrl(file.file)}};
      clips.push_back({{"OTIO_SCHEMA", "Clip.2"},
                       {"metadata", {{"quillan", {{"file", file.file}}}}},
                       {"name", BaseName(file.file) + " " + SegmentTitle(segmentation, i)},
                       {"source_range", TimeRange(static_cast<double>(segment.first),
                                                  static_cast<double>(segment.end - segment.first), segmentation.rate)},
                       {"effects", Json::array()},
                       {"markers", Json::array()},
                       {"enabled", true},
                       {"media_references", {{"DEFAULT_MEDIA", reference}}},
                       {"active_media_reference_key", "DEFAULT_MEDIA"}});
      length = static_cast<double>(segment.end) * segmentation.rate.denominator / segmentation.rate.numerator;
    }
    for (Event const& event : file.events) {
      if (!IsMarker(event)) continue;
      double const start = (at + event.start) * rate.Value();
      double const duration = event.end ? (*event.end - event.start) * rate.Value() : 0;
      Json metadata = {{"analyzer", event.analyzer}, {"kind", event.kind}, {"file", file.file}};
      for (auto const& [name, value] : event.fields) metadata[name] = value;
      markers.push_back({{"OTIO_SCHEMA", "Marker.2"},
                         {"metadata", {{"quillan", metadata}}},
                         {"name", MarkerName(event)},
                         {"color", event.kind == "silence" ? "BLUE" : "GREEN"},
                         {"comment", ""},
                         {"marked_range", TimeRange(start, duration, rate)}});
    }
    at += length;
  }
  Json track = {{"OTIO_SCHEMA", "Track.1"}, {"metadata", Json::object()}, {"name", "Shots"},
                {"source_range", nullptr},  {"effects", Json::array()},   {"markers", markers},
                {"enabled", true},          {"children", clips},          {"kind", "Video"}};
  Json stack = {{"OTIO_SCHEMA", "Stack.1"}, {"metadata", Json::object()},      {"name", "tracks"},
                {"source_range", nullptr},  {"effects", Json::array()},        {"markers", Json::array()},
                {"enabled", true},          {"children", Json::array({track})}};
  std::string const name = media.size() == 1 ? BaseName(media.front().file) : std::string("quillan export");
  Json const timeline = {{"OTIO_SCHEMA", "Timeline.1"},
                         {"metadata", Json::object()},
                         {"name", name},
                         {"global_start_time", nullptr},
                         {"tracks", stack}};
  return Dump(timeline);
}

std::string WriteEdl(std::vector<MediaEvents> const& media) {
  FrameRate const rate = TimelineRate(media);
  auto const oneLine = [](std::string text) {
    for (char& c : text) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
  };
  std::string const title = media.size() == 1 ? BaseName(media.front().file) : std::string("quillan export");
  std::string text =
      "TITLE: " + oneLine(title) + "\nFCM: " + (rate.IsDropFrame() ? "DROP FRAME" : "NON-DROP FRAME") + "\n";
  // Record time starts at the customary hour one.
  std::int64_t record = std::llround(rate.Value()) * 3600;
  if (rate.IsDropFrame()) record = FrameOfTimecode("01:00:00;00", rate);
  int number = 0;
  for (MediaEvents const& file : media) {
    Segmentation const segmentation = Segments(file);
    for (Segment const& segment : segmentation.segments) {
      std::int64_t const in = Rescale(segment.first, segmentation.rate, rate);
      std::int64_t const out = Rescale(segment.end, segmentation.rate, rate);
      if (out <= in) continue;
      char line[160];
      std::snprintf(line, sizeof line, "\n%03d  AX       V     C        %s %s %s %s\n", ++number % 1000,
                    Timecode(in, rate).c_str(), Timecode(out, rate).c_str(), Timecode(record, rate).c_str(),
                    Timecode(record + out - in, rate).c_str());
      text += line;
      text += "* FROM CLIP NAME: " + oneLine(BaseName(file.file)) + "\n";
      record += out - in;
    }
  }
  return text;
}

}  // namespace Quillan::Export
