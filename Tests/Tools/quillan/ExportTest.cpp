#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Support/BlobTestUtils.h"
#include "Support/TempDirectory.h"
#include "ToolProcess.h"

namespace Quillan::Cli {
namespace {

// Runs another program (ffmpeg, ffprobe, melt, python3) with its output in a string; the exit code.
int RunProgram(std::vector<std::string> const& arguments, std::string* out = nullptr) {
  std::vector<char*> argv;
  for (std::string const& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  testsupport::TempDirectory scratch;
  std::string const outPath = (scratch.path() / "out").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int const spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  if (out != nullptr) *out = testsupport::ReadFile(outPath);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Rate {
  char const* text;  // as ffmpeg takes it
  int numerator, denominator;
  bool dropFrame;
  double Seconds(int frame) const { return static_cast<double>(frame) * denominator / numerator; }
};

// The shots of every test clip, in frames: unequal, so that a writer that mixes them up is caught.
constexpr int kShotFrames[] = {38, 33, 41};

class ExportTest : public ToolFolderTest {
 protected:
  // A video of three shots (test pattern, flat red, the pattern mirrored and negated) at `rate`, hard cut.
  std::string MakeClip(std::string const& name, Rate const& rate) {
    std::string const source = std::string("size=160x90:rate=") + rate.text;
    std::string const filter = "[0]trim=end_frame=" + std::to_string(kShotFrames[0]) +
                               "[a];[1]trim=end_frame=" + std::to_string(kShotFrames[1]) +
                               "[b];[2]hflip,negate,trim=end_frame=" + std::to_string(kShotFrames[2]) +
                               "[c];[a][b][c]concat=n=3:v=1:a=0";
    std::string const path = File(name);
    EXPECT_EQ(RunProgram({"ffmpeg",
                          "-v",
                          "error",
                          "-y",
                          "-f",
                          "lavfi",
                          "-i",
                          "testsrc2=" + source,
                          "-f",
                          "lavfi",
                          "-i",
                          "color=c=red:" + source,
                          "-f",
                          "lavfi",
                          "-i",
                          "testsrc2=" + source,
                          "-filter_complex",
                          filter,
                          "-c:v",
                          "ffv1",
                          path}),
              0);
    return path;
  }

  std::string Export(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "export");
    ToolRun const run = Quillan(arguments);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return run.out;
  }
};

// The frames at which each shot starts, and the whole length.
std::vector<int> ShotStarts() { return {0, kShotFrames[0], kShotFrames[0] + kShotFrames[1]}; }
constexpr int kTotalFrames = kShotFrames[0] + kShotFrames[1] + kShotFrames[2];

// An EDL event line's source in and out as frames, read the way an edit system reads timecode.
int TimecodeFrame(std::string const& timecode, Rate const& rate) {
  int h = 0, m = 0, s = 0, f = 0;
  char separator = 0;
  std::istringstream(timecode) >> h >> separator >> m >> separator >> s >> separator >> f;
  int const fps = static_cast<int>(std::lround(static_cast<double>(rate.numerator) / rate.denominator));
  int const minutes = h * 60 + m;
  int const dropped = rate.dropFrame ? (fps / 15) * (minutes - minutes / 10) : 0;
  return (minutes * 60 + s) * fps + f - dropped;
}

// The MD5 of each decoded picture of `file`, in order.
std::vector<std::string> PictureHashes(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"ffmpeg", "-v", "error"});
  arguments.insert(arguments.end(), {"-an", "-f", "framemd5", "-"});
  std::string out;
  EXPECT_EQ(RunProgram(arguments, &out), 0);
  std::vector<std::string> hashes;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] != '#') hashes.push_back(line.substr(line.rfind(',') + 2));
  }
  return hashes;
}

// Chapters, WebVTT and the EDL of clips at 24, 25, 29.97 and 60 pictures a second, each read by a real reader: FFmpeg
// takes the chapters into a Matroska file, ffprobe reads the cues, and the media cut at the EDL's source timecodes
// starts each piece with the picture at the cut.
TEST_F(ExportTest, ChaptersCuesAndEdlFallOnTheCutFramesAtEachRate) {
  Rate const rates[] = {
      {"24", 24, 1, false}, {"25", 25, 1, false}, {"30000/1001", 30000, 1001, true}, {"60", 60, 1, false}};
  for (Rate const& rate : rates) {
    SCOPED_TRACE(rate.text);
    std::string const clip = MakeClip("clip.mkv", rate);
    std::vector<int> const starts = ShotStarts();

    std::string const chapters = Export({clip, "--to", "ffmetadata", "-o", File("chapters.txt"), "-y"});
    ASSERT_EQ(RunProgram({"ffmpeg", "-v", "error", "-y", "-i", clip, "-i", File("chapters.txt"), "-map_metadata", "1",
                          "-map_chapters", "1", "-c", "copy", File("chaptered.mkv")}),
              0);
    std::string probe;
    ASSERT_EQ(RunProgram({"ffprobe", "-v", "error", "-show_chapters", "-of", "json", File("chaptered.mkv")}, &probe),
              0);
    Json const found = Json::parse(probe)["chapters"];
    ASSERT_EQ(found.size(), 3u) << probe;
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_NEAR(std::stod(found[i]["start_time"].get<std::string>()), rate.Seconds(starts[i]), 1e-6);
      EXPECT_EQ(found[i]["tags"]["title"], "Shot " + std::to_string(i + 1));
    }
    EXPECT_NEAR(std::stod(found[2]["end_time"].get<std::string>()), rate.Seconds(kTotalFrames), 1e-6);

    Export({clip, "--to", "webvtt", "-o", File("chapters.vtt"), "-y"});
    ASSERT_EQ(RunProgram({"ffprobe", "-v", "error", "-show_packets", "-of", "json", File("chapters.vtt")}, &probe), 0);
    Json const cues = Json::parse(probe)["packets"];
    ASSERT_EQ(cues.size(), 3u) << probe;
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_NEAR(std::stod(cues[i]["pts_time"].get<std::string>()), rate.Seconds(starts[i]), 0.0005);
    }

    std::string const edl = Export({clip, "--to", "edl"});
    EXPECT_NE(edl.find(rate.dropFrame ? "FCM: DROP FRAME\n" : "FCM: NON-DROP FRAME\n"), std::string::npos) << edl;
    std::regex const event(R"((\d{3})  AX +V +C +(\S+) (\S+) (\S+) (\S+))");
    std::vector<std::string> const original = PictureHashes({"-i", clip});
    ASSERT_EQ(original.size(), static_cast<std::size_t>(kTotalFrames));
    std::size_t events = 0;
    int recordAt = -1;
    for (auto match = std::sregex_iterator(edl.begin(), edl.end(), event); match != std::sregex_iterator(); ++match) {
      ASSERT_LT(events, 3u) << edl;
      int const in = TimecodeFrame((*match)[2], rate), out = TimecodeFrame((*match)[3], rate);
      int const recordIn = TimecodeFrame((*match)[4], rate), recordOut = TimecodeFrame((*match)[5], rate);
      EXPECT_EQ((*match)[2].str().find(';') != std::string::npos, rate.dropFrame);
      EXPECT_EQ(in, starts[events]);
      EXPECT_EQ(out - in, kShotFrames[events]);
      EXPECT_EQ(recordOut - recordIn, out - in);
      if (recordAt >= 0) {
        EXPECT_EQ(recordIn, recordAt);
      }
      recordAt = recordOut;
      // Cut the media at the event's source time (a quarter picture early, so that rounding cannot skip it).
      char at[32];
      std::snprintf(at, sizeof at, "%.6f", std::max(0.0, rate.Seconds(in) - rate.Seconds(1) / 4));
      std::vector<std::string> const piece = PictureHashes({"-i", clip, "-ss", in == 0 ? "0" : at, "-frames:v", "1"});
      ASSERT_EQ(piece.size(), 1u);
      EXPECT_EQ(piece[0], original[in]) << "event " << events + 1;
      if (in > 0) {
        EXPECT_NE(original[in - 1], original[in]);
      }
      ++events;
    }
    EXPECT_EQ(events, 3u) << edl;
  }
}

// The OpenTimelineIO document meets a schema of the format's published structure, checked by a JSON Schema validator,
// and MLT's own player plays the MLT document to the clip's length.
TEST_F(ExportTest, TimelinesAreReadByAValidatorAndByMlt) {
  std::string const clip = MakeClip("shots \"one\" é.mkv", {"25", 25, 1, false});
  testsupport::WriteFile(dir / "otio.schema.json", R"({
  "$schema": "http://json-schema.org/draft-07/schema#",
  "definitions": {
    "RationalTime": {"type": "object", "required": ["OTIO_SCHEMA", "rate", "value"],
      "properties": {"OTIO_SCHEMA": {"const": "RationalTime.1"}, "rate": {"type": "number", "exclusiveMinimum": 0},
                     "value": {"type": "number"}}},
    "TimeRange": {"type": "object", "required": ["OTIO_SCHEMA", "start_time", "duration"],
      "properties": {"OTIO_SCHEMA": {"const": "TimeRange.1"}, "start_time": {"$ref": "#/definitions/RationalTime"},
                     "duration": {"$ref": "#/definitions/RationalTime"}}},
    "Marker": {"type": "object", "required": ["OTIO_SCHEMA", "name", "marked_range", "color", "metadata"],
      "properties": {"OTIO_SCHEMA": {"const": "Marker.2"}, "name": {"type": "string"}, "color": {"type": "string"},
                     "marked_range": {"$ref": "#/definitions/TimeRange"}, "metadata": {"type": "object"}}},
    "ExternalReference": {"type": "object", "required": ["OTIO_SCHEMA", "target_url", "metadata"],
      "properties": {"OTIO_SCHEMA": {"const": "ExternalReference.1"},
                     "target_url": {"type": "string", "pattern": "^file://"},
                     "available_range": {"oneOf": [{"type": "null"}, {"$ref": "#/definitions/TimeRange"}]}}},
    "Clip": {"type": "object",
      "required": ["OTIO_SCHEMA", "name", "source_range", "media_references", "active_media_reference_key", "markers",
                   "effects", "metadata"],
      "properties": {"OTIO_SCHEMA": {"const": "Clip.2"}, "name": {"type": "string"},
                     "source_range": {"$ref": "#/definitions/TimeRange"},
                     "media_references": {"type": "object", "minProperties": 1,
                                          "additionalProperties": {"$ref": "#/definitions/ExternalReference"}},
                     "active_media_reference_key": {"type": "string"},
                     "markers": {"type": "array", "items": {"$ref": "#/definitions/Marker"}}}},
    "Track": {"type": "object", "required": ["OTIO_SCHEMA", "name", "kind", "children", "markers", "effects", "metadata"],
      "properties": {"OTIO_SCHEMA": {"const": "Track.1"}, "kind": {"enum": ["Video", "Audio"]},
                     "children": {"type": "array", "items": {"$ref": "#/definitions/Clip"}},
                     "markers": {"type": "array", "items": {"$ref": "#/definitions/Marker"}}}}
  },
  "type": "object", "required": ["OTIO_SCHEMA", "name", "tracks", "metadata"],
  "properties": {
    "OTIO_SCHEMA": {"const": "Timeline.1"}, "name": {"type": "string"},
    "tracks": {"type": "object", "required": ["OTIO_SCHEMA", "children"],
      "properties": {"OTIO_SCHEMA": {"const": "Stack.1"},
                     "children": {"type": "array", "items": {"$ref": "#/definitions/Track"}}}}
  }
})");
  Export({clip, "--to", "otio", "-o", File("cut.otio"), "-y"});
  std::string const validate =
      "import json, sys, jsonschema\n"
      "jsonschema.validate(json.load(open(sys.argv[1])), json.load(open(sys.argv[2])))\n";
  EXPECT_EQ(RunProgram({"/usr/bin/python3", "-c", validate, File("cut.otio"), File("otio.schema.json")}), 0);
  // The validator refuses a document that breaks the schema: the check can fail.
  Json otio = Json::parse(testsupport::ReadFile(dir / "cut.otio"));
  Json& clips = otio["tracks"]["children"][0]["children"];
  ASSERT_EQ(clips.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(clips[i]["source_range"]["start_time"]["value"], ShotStarts()[i]);
    EXPECT_EQ(clips[i]["source_range"]["duration"]["value"], kShotFrames[i]);
    EXPECT_EQ(clips[i]["source_range"]["duration"]["rate"], 25.0);
  }
  EXPECT_EQ(clips[0]["media_references"]["DEFAULT_MEDIA"]["target_url"],
            "file://" + dir.path().string() + "/shots%20%22one%22%20%C3%A9.mkv");
  clips[1]["source_range"]["duration"].erase("rate");
  testsupport::WriteFile(dir / "broken.otio", otio.dump());
  EXPECT_NE(RunProgram({"/usr/bin/python3", "-c", validate, File("broken.otio"), File("otio.schema.json")}), 0);

  Export({clip, "--to", "mlt", "-o", File("cut.mlt"), "-y"});
  std::string const mlt = testsupport::ReadFile(dir / "cut.mlt");
  EXPECT_NE(mlt.find("<property name=\"resource\">" + dir.path().string() + "/shots &quot;one&quot; é.mkv<"),
            std::string::npos)
      << mlt;
  std::regex const entry(R"re(<entry producer="producer0" in="(\d+)" out="(\d+)"/>)re");
  std::vector<int> ins;
  for (auto match = std::sregex_iterator(mlt.begin(), mlt.end(), entry); match != std::sregex_iterator(); ++match) {
    ins.push_back(std::stoi((*match)[1]));
    EXPECT_EQ(std::stoi((*match)[2]) - ins.back() + 1, kShotFrames[ins.size() - 1]);
  }
  EXPECT_EQ(ins, ShotStarts());
  // melt renders the whole playlist: as many pictures as the clip has.
  ASSERT_EQ(RunProgram({"melt", File("cut.mlt"), "-consumer", "avformat:" + File("played.nut"), "vcodec=mpeg4", "an=1",
                        "real_time=0", "terminate_on_pause=1", "width=160", "height=90"}),
            0);
  EXPECT_EQ(PictureHashes({"-i", File("played.nut")}).size(), static_cast<std::size_t>(kTotalFrames));
}

// Tables have one row per event with the analyzer's own fields; a file without pictures is cut where its silences end
// (at 25 frames a second); a file without events still gives a document.
TEST_F(ExportTest, TablesAndAudioOnlyFiles) {
  // One second of tone, three of silence, one of tone.
  std::string const audio = File("talk, \"take\" 1.wav");
  ASSERT_EQ(
      RunProgram({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                  "sine=frequency=440:sample_rate=48000:duration=5,volume=enable='between(t,1,4)':volume=0", audio}),
      0);
  std::string const clip = MakeClip("clip.mkv", {"25", 25, 1, false});

  std::string const csv = Export({audio, clip, "--to", "csv", "-a", "scenes", "-a", "silence"});
  std::istringstream lines(csv);
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), 4u) << csv;
  EXPECT_EQ(rows[0], "file,analyzer,kind,start,end,score,frame");
  EXPECT_TRUE(rows[1].starts_with("\"" + dir.path().string() + "/talk, \"\"take\"\" 1.wav\",silence,silence,1"))
      << rows[1];
  EXPECT_TRUE(rows[2].starts_with(clip + ",scenes,cut,1.52,,")) << rows[2];
  EXPECT_TRUE(rows[2].ends_with(",38")) << rows[2];

  std::string const ndjson = Export({clip, "--to", "ndjson", "-a", "scenes"});
  std::istringstream objects(ndjson);
  std::vector<Json> parsed;
  for (std::string line; std::getline(objects, line);) parsed.push_back(Json::parse(line));
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[1]["frame"], 71);
  EXPECT_EQ(parsed[1]["kind"], "cut");
  EXPECT_GT(parsed[1]["score"].get<double>(), 10);

  // The chapters of the audio file: at its start and where the silence ends, at 25 frames a second.
  std::string const chapters = Export({audio, "--to", "ffmetadata", "-a", "silence"});
  EXPECT_NE(chapters.find("TIMEBASE=1/25\nSTART=0\nEND=100\ntitle=Part 1\n"), std::string::npos) << chapters;
  EXPECT_NE(chapters.find("START=100\nEND=125\ntitle=Part 2\n"), std::string::npos) << chapters;
  EXPECT_NE(chapters.find("title=" + dir.path().string() + "/talk, \"take\" 1.wav\n"), std::string::npos);
  EXPECT_NE(Export({audio, "--to", "edl", "-a", "silence"}).find("FCM: NON-DROP FRAME\n"), std::string::npos);

  // The video has no audio: silence does not apply, and there is nothing to export but an empty table.
  EXPECT_EQ(Export({clip, "--to", "csv", "-a", "silence"}), "file,analyzer,kind,start,end,score\n");
  EXPECT_EQ(Export({clip, "--to", "ndjson", "-a", "silence"}), "");

  // Refusals: chapters of two files, an unknown format or analyzer, an output over an input.
  EXPECT_EQ(Quillan({"export", audio, clip, "--to", "webvtt"}).exitCode, 2);
  EXPECT_EQ(Quillan({"export", clip, "--to", "aaf"}).exitCode, 2);
  EXPECT_EQ(Quillan({"export", clip, "--to", "csv", "-a", "digest"}).exitCode, 2);
  EXPECT_EQ(Quillan({"export", clip, "--to", "csv", "-o", clip, "-y"}).exitCode, 2);
}

}  // namespace
}  // namespace Quillan::Cli
