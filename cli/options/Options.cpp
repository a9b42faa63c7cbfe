#include "cli/options/Options.h"

#include "cli/options/FrameList.h"
#include "cli/output/MovieCodecs.h"
#include "cli/output/OutputMetadata.h"

#include "HostLayer/TextPattern.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <iostream>

namespace cli {

namespace {

bool validKnobName(const std::string& name)
{
  static const HostLayer::TextPattern identifier("[A-Za-z_][A-Za-z0-9_]*");
  return identifier.match(name).has_value();
}

// One line per option, for programs that pass options on to this one
// (tweenova-farm): its names, a tab, and "value" or "flag".
void printOptionTable(const CLI::App& app, std::ostream& out)
{
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_positional())
      continue;
    std::string names;
    for (const std::string& s : option->get_snames())
      names += (names.empty() ? "-" : " -") + s;
    for (const std::string& l : option->get_lnames())
      names += (names.empty() ? "--" : " --") + l;
    out << names << '\t' << (option->get_expected_max() == 0 ? "flag" : "value") << '\n';
  }
}

std::string codecNames(Container container)
{
  std::string names;
  for (const MovieCodec& codec : movieCodecs())
    if (container == Container::None || holds(container, codec))
      names += (names.empty() ? "" : ", ") + std::string(codec.name);
  return names;
}

// --codec and --fps describe a movie: refused with a sequence output.
void refuseMovieOptions(const Options& o)
{
  if (!o.codec.empty())
    throw UsageError{"--codec " + o.codec, "only for movie outputs (.mov, .mp4, .mkv)"};
  if (o.fps)
    throw UsageError{"--fps", "only for movie outputs (.mov, .mp4, .mkv); a sequence's frames carry their source's "
                              "frame rate"};
}

// A movie is written whole, in one run: the options that split a render,
// skip or check frames, or choose EXR storage are refused with it.
void refuseSequenceOptions(const Options& o, bool framesGiven)
{
  const std::string whole = "a movie is written whole, from the first output frame to the last, or not at all";
  if (framesGiven)
    throw UsageError{"-F", whole + ": render an image sequence to render in chunks (a farm writes sequences)"};
  if (o.skipExisting)
    throw UsageError{"--skip-existing", whole + ": it has no frames to skip"};
  if (o.verify)
    throw UsageError{"--verify", whole + ": its exit status says whether it was written"};
  if (o.floatOutput || o.halfOutput || !o.compression.empty())
    throw UsageError{o.floatOutput ? "--float" : o.halfOutput ? "--half" : "--compression " + o.compression,
                     "an EXR option; a movie's codec decides how it is stored (--codec)"};
}

void checkCodec(const std::string& name, Container container)
{
  const MovieCodec* codec = findCodec(name);
  if (!codec)
    throw UsageError{"--codec " + name, "not a codec tweenova-render writes (" + codecNames(Container::None) + ")"};
  if (!holds(container, *codec))
    throw UsageError{"--codec " + name, "a ." + containerName(container) + " file does not hold it (it holds " +
                                          codecNames(container) + ")"};
}

// The options that belong to the other kind of output are refused.
void checkOutputKindOptions(const Options& o, bool framesGiven)
{
  const Container container = containerOf(o.output);
  if (container == Container::None) {
    refuseMovieOptions(o);
  } else if (!o.list && !o.panel) {
    refuseSequenceOptions(o, framesGiven);
    if (!o.codec.empty())
      checkCodec(o.codec, container);
  }
}

} // namespace

KnobAssignment parseKnobAssignment(const std::string& text)
{
  const size_t eq = text.find('=');
  if (eq == std::string::npos)
    throw UsageError{"--set " + text, "expected KNOB=VALUE"};
  KnobAssignment a{text.substr(0, eq), text.substr(eq + 1)};
  if (!validKnobName(a.knob))
    throw UsageError{"--set " + text, "'" + a.knob + "' is not a knob name"};
  return a;
}

KeyAssignment parseKeyAssignment(const std::string& text)
{
  static const HostLayer::TextPattern assignment(
    "^([A-Za-z_][A-Za-z0-9_]*):([-+]?[0-9]*\\.?[0-9]+(?:[eE][-+]?[0-9]+)?)=(.*)$");
  const auto m = assignment.match(text);
  if (!m)
    throw UsageError{"--key " + text, "expected KNOB:FRAME=VALUE"};
  KeyAssignment k;
  k.knob = *(*m)[1];
  k.frame = std::strtod((*m)[2]->c_str(), nullptr);
  k.value = *(*m)[3];
  if (!std::isfinite(k.frame) || std::fabs(k.frame) > 1e9)
    throw UsageError{"--key " + text, "the frame is out of range"};
  return k;
}

namespace {

constexpr const char* kDescription =
  "tweenova-render: retime an image sequence or a movie with the Tweenova node, into an image\n"
  "sequence or a movie.\n\n"
  "Exit status: 0 success; 1 one or more frames failed (every frame included; the\n"
  "others were written), a movie could not be written (none was left), or standard\n"
  "output could not be written; 2 bad arguments\n"
  "or unreadable input; 130, 143, 129 stopped by SIGINT, SIGTERM, SIGHUP (after the\n"
  "frames in progress; a second signal stops at once, the same one again within a\n"
  "second, as a terminal and a wrapper both forward it, counts once).";

// Options given as text that are parsed once CLI11 has read them all.
struct OptionTexts {
  std::string frames, fps;
  std::vector<std::string> sets, keys;
  CLI::Option* framesOption = nullptr;
  CLI::Option* fpsOption = nullptr;
};

void addFrameOptions(CLI::App& app, Options& o, OptionTexts& t)
{
  app.add_option("INPUT", o.input, "input image sequence (name.####.exr, name.%04d.png) or movie file")->required();
  app.add_option("OUTPUT", o.output,
                 "output sequence pattern (name.####.exr) or movie (name.mov, .mp4, .mkv: written through ffmpeg, "
                 "whole or not at all); not needed with --list or --panel");
  const std::string group = "Frames, knobs and channels";
  t.framesOption = app.add_option("-F,--frames", t.frames,
                                  "output frames to render or list: 1-100, 1-100x5 (every 5th), "
                                  "1,5,10-20 (a movie output renders them all)")
                     ->type_name("FRAMES")
                     ->group(group);
  app.add_option("--set", t.sets, "set a knob: enumerations by item (items that are numbers also by value) or, where no item is a "
                                  "number, by index; booleans on/off/true/false/1/0, channel sets by name (rgb, rgba, "
                                  "alpha, all); steps 1-6, nan_error_threshold 0-100")
    ->type_name("KNOB=VALUE")
    ->group(group);
  app.add_option("--key", t.keys, "set a key frame of an animated knob")->type_name("KNOB:FRAME=VALUE")->group(group);
  app.add_option("--channels", o.channels, "channels to render and write (default all)")
    ->type_name("CHANNELS")
    ->group(group);
}

void addImageFileOptions(CLI::App& app, Options& o)
{
  const std::string group = "Image files and colour";
  app.add_flag("--float", o.floatOutput, "write every EXR channel as 32-bit float (default: each channel's type in "
                                         "the source EXR, half for other sources and new channels)")
    ->group(group);
  app.add_flag("--half", o.halfOutput, "write every EXR channel as 16-bit half")->group(group);
  app.add_option("--input-colorspace", o.inputColorSpace,
                 "colour space of the input's pixels, from the colour configuration ($OCIO, else the built-in one: "
                 "linear, sRGB, Rec709, Cineon, raw) (default: as the file type: sRGB for 8- and 16-bit files, "
                 "Rec709 for movies, Cineon for log DPX, linear for float files)")
    ->type_name("NAME")
    ->group(group);
  app.add_option("--output-colorspace", o.outputColorSpace,
                 "colour space the output's pixels are written in (default: linear for EXR, Cineon for DPX, sRGB "
                 "for PNG, JPEG and TIFF, Rec709 for movies)")
    ->type_name("NAME")
    ->group(group);
  app.add_option("--compression", o.compression,
                 "EXR compression: none, rle, zips, zip, piz, pxr24, b44, b44a, dwaa, dwab, with :LEVEL for the zip "
                 "and dwa ones (default: the source EXR's, zip for other sources)")
    ->type_name("NAME")
    ->group(group);
}

void addMovieOptions(CLI::App& app, Options& o, OptionTexts& t)
{
  const std::string group = "Movie outputs";
  app.add_option("--codec", o.codec,
                 "a movie output's codec: prores422hq (default for .mov), prores422, prores4444 (keeps alpha), "
                 "dnxhr_hq, dnxhr_hqx (10-bit), h264 (8-bit, default for .mp4), h264_10bit, h265 (10-bit, default "
                 "for .mkv); .mp4 holds only the h264 and h265 ones")
    ->type_name("NAME")
    ->group(group);
  t.fpsOption = app.add_option("--fps", t.fps,
                               "a movie output's frame rate: 25, 24000/1001, 23.976 (default: the input movie's, else "
                               "the FramesPerSecond of the input sequence, else 24)")
                  ->type_name("RATE")
                  ->group(group);
}

void addFarmOptions(CLI::App& app, Options& o)
{
  const std::string group = "Farms";
  app.add_flag("--skip-existing", o.skipExisting,
               "render only the frames whose output file is missing or unreadable; the others are left untouched "
               "(sequence outputs)")
    ->group(group);
  app.add_flag("--progress-lines", o.progressLines,
               "print one line per finished frame on stdout for farm managers: \"tweenova-progress frame=F "
               "status=written|failed done=N total=T percent=P elapsed=SECONDS\"")
    ->group(group);
  app.add_option("--summary-json", o.summaryJson,
                 "write a JSON summary of the run to FILE: frames written, failed and skipped, each frame's "
                 "seconds, peak memory, exit status")
    ->type_name("FILE")
    ->group(group);
  app.add_flag("--verify", o.verify,
               "render nothing: check that every output frame (of -F, else of the output range) exists and reads, "
               "print \"missing FRAME FILE\" for each that does not, and exit 1 if any (sequence outputs)")
    ->group(group);
}

void addResourceOptions(CLI::App& app, Options& o)
{
  const std::string group = "Devices, threads and memory";
  app.add_option("--gpu", o.gpu, "CUDA device index for this render (QUOLMARINE_NUKE_GPU_INDEX)")
    ->type_name("N")
    ->group(group);
  app.add_flag("--cpu", o.cpu, "render on the CPU (use_gpu off)")->group(group);
  app.add_option("--threads", o.threads, "frames rendered at the same time (default 0: one per core the process may use)")
    ->type_name("N")
    ->check(CLI::Range(0, 64))
    ->group(group);
  app.add_option("--torch-threads", o.torchThreads, "libtorch threads per render (default 1; 0: one per core)")
    ->type_name("N")
    ->check(CLI::Range(0, 256))
    ->group(group);
  app.add_option("--cache-memory", o.cacheMemoryMiB,
                 "MiB of decoded source frames kept for reuse (default 256; frames in use are always kept)")
    ->type_name("MIB")
    ->check(CLI::Range(0, 1 << 24))
    ->group(group);
  app.add_option("--max-pixels", o.maxPixels,
                 "refuse input images of more pixels than this (default 0: what the memory the process may use "
                 "allows)")
    ->type_name("N")
    ->check(CLI::Range(0LL, 1LL << 50))
    ->group(group);
  app.add_option("--decode-timeout", o.decodeTimeout,
                 "seconds one input file may take to decode; a longer decode ends the render (default 120, 0: no "
                 "limit)")
    ->type_name("SECONDS")
    ->check(CLI::Range(0.0, 1e6))
    ->group(group);
}

void addModeOptions(CLI::App& app, Options& o)
{
  const std::string group = "Modes and messages";
  app.add_flag("-v,--verbose", o.verbose, "switch the node's debug output on")->group(group);
  app.add_flag("-q,--quiet", o.quiet, "no progress display")->group(group);
  app.add_flag("--list", o.list, "print the frame mapping of every output frame and exit")->group(group);
  app.add_flag("--panel", o.panel, "print the node's panel and exit")->group(group);
  app.set_version_flag("--version", [] { return std::string(); },
                       "print the versions of tweenova-render, libtorch, CUDA and cuDNN and whether a GPU is usable, "
                       "and exit")
    ->group(group);
  app.add_option("--plugin", o.plugin, "plug-in library to load")->group("");
  app.add_option("--model-library", o.modelLibrary, "model library to load")->group("");
  app.add_flag("--simulate-gpu", o.simulateGpu, "show the panel against a simulated GPU")->group("");
}

// The texts read into their values: frame list, frame rate, knobs and keys.
void readOptionTexts(Options& o, const OptionTexts& t)
{
  if (t.framesOption->count() > 0)
    o.frames = parseFrameList(t.frames);
  if (t.fpsOption->count() > 0) {
    o.fps = parseFrameRate(t.fps);
    if (!o.fps)
      throw UsageError{"--fps " + t.fps, "not a frame rate from 1 to 1000 (25, 24000/1001, 23.976)"};
  }
  for (const std::string& s : t.sets)
    o.sets.push_back(parseKnobAssignment(s));
  for (const std::string& k : t.keys)
    o.keys.push_back(parseKeyAssignment(k));
}

// Options that need or exclude each other, and values CLI11 cannot check.
void checkCombinations(const Options& o, bool framesGiven)
{
  if (o.output.empty() && !o.list && !o.panel)
    throw UsageError{"arguments", "OUTPUT is required unless --list or --panel is given"};
  if (int(o.verify) + int(o.list) + int(o.panel) > 1)
    throw UsageError{"arguments", "--verify, --list and --panel exclude each other"};
  if (o.floatOutput && o.halfOutput)
    throw UsageError{"arguments", "--float and --half exclude each other"};
  if (!o.compression.empty() && !validExrCompression(o.compression))
    throw UsageError{"--compression " + o.compression,
                     "not an EXR compression (none, rle, zips, zip, piz, pxr24, b44, b44a, dwaa, dwab; a :LEVEL "
                     "only for zip and zips, 0 to 9, and for dwaa and dwab)"};
  if (!std::isfinite(o.decodeTimeout))
    throw UsageError{"--decode-timeout", "expected a number of seconds from 0 to 1000000"};
  if (o.gpu && o.cpu)
    throw UsageError{"arguments", "--gpu and --cpu exclude each other"};
  if (o.gpu && *o.gpu < 0)
    throw UsageError{"--gpu", "the device index must not be negative"};
  checkOutputKindOptions(o, framesGiven);
}

} // namespace

std::optional<Options> parseOptions(int argc, char** argv)
{
  Options o;
  OptionTexts texts;
  CLI::App app{kDescription, "tweenova-render"};
  app.option_defaults()->always_capture_default(false);
  addFrameOptions(app, o, texts);
  addImageFileOptions(app, o);
  addMovieOptions(app, o, texts);
  addFarmOptions(app, o);
  addResourceOptions(app, o);
  addModeOptions(app, o);
  if (argc == 2 && std::string(argv[1]) == "--option-table") {
    printOptionTable(app, std::cout);
    return std::nullopt;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return std::nullopt;
  } catch (const CLI::CallForVersion&) {
    Options version;
    version.version = true;
    return version;
  } catch (const CLI::ParseError& e) {
    throw UsageError{"arguments", e.what()};
  }
  readOptionTexts(o, texts);
  checkCombinations(o, texts.framesOption->count() > 0);
  return o;
}

} // namespace cli
