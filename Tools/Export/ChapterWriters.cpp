#include "Export/ChapterWriters.h"

#include "Export/Timecode.h"

namespace Quillan::Export {
namespace {

// A cue's or a note's text on one line, without the arrow that would end it.
std::string OneLine(std::string_view text, bool markup) {
  std::string line;
  for (char const c : text) {
    if (c == '\n' || c == '\r') {
      line += ' ';
    } else if (markup && c == '&') {
      line += "&amp;";
    } else if (markup && c == '<') {
      line += "&lt;";
    } else if (markup && c == '>') {
      line += "&gt;";
    } else {
      line += c;
    }
  }
  for (std::size_t at; (at = line.find("-->")) != std::string::npos;) line.replace(at, 3, "- ->");
  return line;
}

double Seconds(std::int64_t frame, FrameRate const& rate) {
  return static_cast<double>(frame) * static_cast<double>(rate.denominator) / static_cast<double>(rate.numerator);
}

}  // namespace

std::string SegmentTitle(Segmentation const& segmentation, std::size_t index) {
  return (segmentation.shots ? "Shot " : "Part ") + std::to_string(index + 1);
}

std::string EscapeFfmetadata(std::string_view text) {
  std::string escaped;
  for (char const c : text) {
    if (c == '=' || c == ';' || c == '#' || c == '\\' || c == '\n') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string WriteFfmetadata(MediaEvents const& media) {
  Segmentation const segmentation = Segments(media);
  std::string text = ";FFMETADATA1\ntitle=" + EscapeFfmetadata(media.file) + "\n";
  std::string const timebase =
      std::to_string(segmentation.rate.denominator) + "/" + std::to_string(segmentation.rate.numerator);
  for (std::size_t i = 0; i < segmentation.segments.size(); ++i) {
    Segment const& segment = segmentation.segments[i];
    text += "\n[CHAPTER]\nTIMEBASE=" + timebase + "\nSTART=" + std::to_string(segment.first) +
            "\nEND=" + std::to_string(segment.end) + "\ntitle=" + EscapeFfmetadata(SegmentTitle(segmentation, i)) +
            "\n";
  }
  return text;
}

std::string WriteWebVtt(MediaEvents const& media) {
  Segmentation const segmentation = Segments(media);
  std::string text = "WEBVTT\n\nNOTE " + OneLine(media.file, false) + "\n";
  for (std::size_t i = 0; i < segmentation.segments.size(); ++i) {
    Segment const& segment = segmentation.segments[i];
    text += "\n" + std::to_string(i + 1) + "\n" + ClockMilliseconds(Seconds(segment.first, segmentation.rate)) +
            " --> " + ClockMilliseconds(Seconds(segment.end, segmentation.rate)) + "\n" +
            OneLine(SegmentTitle(segmentation, i), true) + "\n";
  }
  return text;
}

}  // namespace Quillan::Export
