#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Export/ChapterWriters.h"
#include "Export/ExportFormat.h"
#include "Export/TableWriters.h"
#include "Export/Timecode.h"
#include "Export/TimelineWriters.h"

namespace Quillan::Export {
namespace {

TEST(TimecodeTest, CountsDropFrameAtNtscRatesAndWholeFramesOtherwise) {
  struct Case {
    std::int64_t frame;
    FrameRate rate;
    char const* timecode;
  };
  Case const cases[] = {
      {0, {25, 1}, "00:00:00:00"},           {1499, {25, 1}, "00:00:59:24"},
      {90000, {25, 1}, "01:00:00:00"},       {23, {24000, 1001}, "00:00:00:23"},
      {1799, {30000, 1001}, "00:00:59;29"},  {1800, {30000, 1001}, "00:01:00;02"},
      {17982, {30000, 1001}, "00:10:00;00"}, {107892, {30000, 1001}, "01:00:00;00"},
      {3599, {60000, 1001}, "00:00:59;59"},  {3600, {60000, 1001}, "00:01:00;04"},
      {35964, {60000, 1001}, "00:10:00;00"}, {3600, {60, 1}, "00:01:00:00"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.timecode);
    EXPECT_EQ(Timecode(c.frame, c.rate), c.timecode);
    EXPECT_EQ(FrameOfTimecode(c.timecode, c.rate), c.frame);
  }
  // Every frame of a stretch around minute boundaries reads back as itself.
  for (std::int64_t frame = 1700; frame < 20000; frame += 7) {
    ASSERT_EQ(FrameOfTimecode(Timecode(frame, {30000, 1001}), {30000, 1001}), frame);
  }
  for (char const* bad : {"", "00:00:00", "00:61:00:00", "00:00:00:25", "aa:00:00:00", "00:00:00:00x"}) {
    EXPECT_EQ(FrameOfTimecode(bad, {25, 1}), -1) << bad;
  }
  EXPECT_EQ(ClockMilliseconds(3723.4566), "01:02:03.457");
}

TEST(RateFromDecoderTest, GivesTheFractionOfCommonRates) {
  struct Case {
    double decoded;
    std::int64_t numerator, denominator;
  };
  Case const cases[] = {{24, 24, 1},
                        {25, 25, 1},
                        {60, 60, 1},
                        {30000.0 / 1001, 30000, 1001},
                        {24000.0 / 1001, 24000, 1001},
                        {60000.0 / 1001, 60000, 1001},
                        {12.5, 12500, 1000}};
  for (Case const& c : cases) {
    FrameRate const rate = RateFromDecoder(c.decoded);
    EXPECT_EQ(rate.numerator, c.numerator) << c.decoded;
    EXPECT_EQ(rate.denominator, c.denominator) << c.decoded;
  }
}

TEST(ExportQuotingTest, EscapesEachFormatsSpecialCharacters) {
  EXPECT_EQ(EscapeFfmetadata("a=b;c#d\\e\nf é"), "a\\=b\\;c\\#d\\\\e\\\nf é");
  EXPECT_EQ(CsvCell("plain é"), "plain é");
  EXPECT_EQ(CsvCell("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvCell("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvCell("two\nlines"), "\"two\nlines\"");
  EXPECT_EQ(CsvCell("carriage\r"), "\"carriage\r\"");
  // Spaces at either end survive readers that trim unquoted cells.
  EXPECT_EQ(CsvCell(" lead"), "\" lead\"");
  EXPECT_EQ(CsvCell("trail "), "\"trail \"");
  EXPECT_EQ(CsvCell(""), "");
  EXPECT_EQ(EscapeXml("<a & 'b' \"c\">"), "&lt;a &amp; &apos;b&apos; &quot;c&quot;&gt;");
  EXPECT_EQ(FileUrl("/m/a b/\"é\".mkv"), "file:///m/a%20b/%22%C3%A9%22.mkv");

  MediaEvents media{"/m/x.wav", std::nullopt, 0, 4, {}};
  media.events.push_back({"silence", "silence", 1, 2.5, std::nullopt, {}});
  // A cue can neither break its line nor close early; markup is escaped.
  MediaEvents odd = media;
  odd.file = "a --> b\n<c>";
  std::string const vtt = WriteWebVtt(odd);
  EXPECT_NE(vtt.find("NOTE a - -> b <c>\n"), std::string::npos) << vtt;
}

TEST(ExportDocumentTest, FileWithoutEventsOrLengthGivesValidEmptyDocuments) {
  std::vector<MediaEvents> const none{{"/m/empty.wav", std::nullopt, 0, 0, {}}};
  EXPECT_EQ(WriteExport(ExportFormat::kFfmetadata, none), ";FFMETADATA1\ntitle=/m/empty.wav\n");
  EXPECT_EQ(WriteExport(ExportFormat::kWebVtt, none), "WEBVTT\n\nNOTE /m/empty.wav\n");
  EXPECT_EQ(WriteExport(ExportFormat::kCsv, none), "file,analyzer,kind,start,end,score\n");
  EXPECT_EQ(WriteExport(ExportFormat::kNdjson, none), "");
  EXPECT_EQ(WriteExport(ExportFormat::kEdl, none), "TITLE: empty.wav\nFCM: NON-DROP FRAME\n");
  nlohmann::json const otio = nlohmann::json::parse(WriteExport(ExportFormat::kOtio, none));
  EXPECT_EQ(otio["tracks"]["children"][0]["children"].size(), 0u);
  std::string const mlt = WriteExport(ExportFormat::kMlt, none);
  EXPECT_NE(mlt.find("<playlist id=\"playlist0\">\n  </playlist>"), std::string::npos) << mlt;
  EXPECT_THROW(WriteExport(ExportFormat::kFfmetadata, {}), std::invalid_argument);
}

TEST(SegmentsTest, CutsVideoAtItsCutsAndAudioWhereSilencesEnd) {
  MediaEvents video{"v.mkv", FrameRate{25, 1}, 100, 4, {}};
  for (double const frame : {40.0, 10.0, 100.0, 0.0}) {  // out of order, at the ends: only 10 and 40 cut
    video.events.push_back({"scenes", "cut", frame / 25, std::nullopt, 50, {{"frame", frame}}});
  }
  video.events.push_back({"silence", "silence", 1, 2, std::nullopt, {}});
  // A gradual transition starts a shot where the analyzer puts its boundary, and black stretches start none.
  video.events.push_back(
      {"scenes", "dissolve", 2.4, 2.8, 30, {{"startFrame", 60}, {"endFrame", 70}, {"boundaryFrame", 65}}});
  video.events.push_back({"black", "black", 3, 3.4, std::nullopt, {{"startFrame", 75}, {"endFrame", 85}}});
  Segmentation const shots = Segments(video);
  EXPECT_TRUE(shots.shots);
  ASSERT_EQ(shots.segments.size(), 4u);
  EXPECT_EQ(shots.segments[1].first, 10);
  EXPECT_EQ(shots.segments[2].first, 40);
  EXPECT_EQ(shots.segments[3].first, 65);
  EXPECT_EQ(shots.segments[3].end, 100);

  MediaEvents audio{"a.wav", std::nullopt, 0, 10, {}};
  audio.events.push_back({"silence", "silence", 2, 4.5, std::nullopt, {}});
  audio.events.push_back({"silence", "silence", 8, 10, std::nullopt, {}});  // to the end: no part after it
  Segmentation const parts = Segments(audio);
  EXPECT_FALSE(parts.shots);
  ASSERT_EQ(parts.segments.size(), 2u);
  EXPECT_EQ(parts.segments[1].first, 113);  // 4.5 s at 25 frames per second, rounded half up
  EXPECT_EQ(parts.segments[1].end, 250);
  EXPECT_EQ(SegmentTitle(parts, 1), "Part 2");
}

// Events other than cuts land on the timeline at their time in the file plus the length of the files before it.
TEST(TimelineMarkersTest, PlacesSilencesAndBeatsAfterTheFilesBefore) {
  MediaEvents first{"/m/one.mkv", FrameRate{25, 1}, 50, 2, {}};
  first.events.push_back({"scenes", "cut", 1, std::nullopt, 40, {{"frame", 25}}});
  MediaEvents second{"/m/two.wav", std::nullopt, 0, 3, {}};
  second.events.push_back({"silence", "silence", 0.5, 1.5, std::nullopt, {}});
  second.events.push_back({"beats", "beat", 2.2, std::nullopt, std::nullopt, {{"tempo", 120}}});

  nlohmann::json const otio = nlohmann::json::parse(WriteOtio({first, second}));
  nlohmann::json const& track = otio["tracks"]["children"][0];
  // Two shots, then two parts of the sound file, cut where its silence ends (1.5 s).
  ASSERT_EQ(track["children"].size(), 4u);
  EXPECT_EQ(track["children"][2]["source_range"]["duration"]["value"], 38);
  EXPECT_EQ(track["children"][3]["source_range"]["start_time"]["value"], 38);
  EXPECT_EQ(track["children"][3]["source_range"]["duration"]["value"], 37);
  ASSERT_EQ(track["markers"].size(), 2u);
  EXPECT_EQ(track["markers"][0]["marked_range"]["start_time"]["value"], 62.5);  // (2 + 0.5) s at 25
  EXPECT_EQ(track["markers"][0]["marked_range"]["duration"]["value"], 25);
  EXPECT_EQ(track["markers"][1]["metadata"]["quillan"]["tempo"], 120);

  std::string const mlt = WriteMlt({first, second});
  std::size_t const guides = mlt.find("kdenlive:docproperties.guides\">");
  ASSERT_NE(guides, std::string::npos) << mlt;
  std::string const list = mlt.substr(guides + 31, mlt.find("</property>", guides) - guides - 31);
  std::string json;
  for (std::size_t at = 0; at < list.size(); ++at) {
    if (list.compare(at, 6, "&quot;") == 0) {
      json += '"';
      at += 5;
    } else {
      json += list[at];
    }
  }
  nlohmann::json const parsed = nlohmann::json::parse(json);
  ASSERT_EQ(parsed.size(), 2u) << json;
  EXPECT_EQ(parsed[0]["pos"], 63);  // 62.5 rounded half up
  EXPECT_EQ(parsed[1]["pos"], 105);
  EXPECT_NE(mlt.find("<entry producer=\"producer1\" in=\"38\" out=\"74\"/>"), std::string::npos) << mlt;

  std::string const edl = WriteEdl({first, second});
  EXPECT_NE(edl.find("004  AX       V     C        00:00:01:13 00:00:03:00 01:00:03:13 01:00:05:00\n"
                     "* FROM CLIP NAME: two.wav\n"),
            std::string::npos)
      << edl;
}

}  // namespace
}  // namespace Quillan::Export
