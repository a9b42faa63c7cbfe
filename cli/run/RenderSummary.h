#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// What became of every frame of a render, recorded as frames finish (from
// any thread), and the whole run as one JSON document for --summary-json.
class RenderSummary {
public:
  void written(int frame, const std::string& file, double seconds);
  void failed(int frame, const std::string& file, double seconds, const std::string& error);
  void skipped(int frame, const std::string& file);

  // A movie output: written whole, or not at all for the `failure` given.
  struct Movie {
    std::string failure;
  };

  struct Run {
    std::string input;
    std::string output;
    std::vector<int> requested;   // every frame asked for, ascending
    std::vector<std::string> files; // the output file of each, same order
    double elapsedSeconds = 0;
    double peakMemoryMiB = 0;
    bool interrupted = false;
    int exitStatus = 0;
    std::optional<Movie> movie;  // for a movie output
  };
  // The run's facts and counts, then one entry per requested frame in
  // ascending order: written (with its seconds), failed (seconds and the
  // error), skipped, or "not rendered" (the render was interrupted first).
  // For a movie, a frame counts as written once it is encoded, and "movie"
  // says whether the movie itself was written, or why not.
  std::string json(const Run& run) const;

private:
  struct Outcome {
    int frame;
    const char* status;
    std::string file;
    double seconds;
    std::string error;
  };
  mutable std::mutex mutex_;
  std::vector<Outcome> outcomes_;
};

} // namespace cli
