#include "cli/run/RenderSummary.h"

#include <nlohmann/json.hpp>

#include <map>

namespace cli {

void RenderSummary::written(int frame, const std::string& file, double seconds)
{
  std::lock_guard<std::mutex> lock(mutex_);
  outcomes_.push_back({frame, "written", file, seconds, {}});
}

void RenderSummary::failed(int frame, const std::string& file, double seconds, const std::string& error)
{
  std::lock_guard<std::mutex> lock(mutex_);
  outcomes_.push_back({frame, "failed", file, seconds, error});
}

void RenderSummary::skipped(int frame, const std::string& file)
{
  std::lock_guard<std::mutex> lock(mutex_);
  outcomes_.push_back({frame, "skipped", file, 0.0, {}});
}

std::string RenderSummary::json(const Run& run) const
{
  std::map<int, const Outcome*> byFrame;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Outcome& o : outcomes_)
    byFrame[o.frame] = &o;
  std::map<std::string, int> counts{{"written", 0}, {"failed", 0}, {"skipped", 0}, {"not rendered", 0}};
  nlohmann::ordered_json frames = nlohmann::ordered_json::array();
  for (size_t i = 0; i < run.requested.size(); ++i) {
    const int frame = run.requested[i];
    nlohmann::ordered_json entry{{"frame", frame}, {"file", run.files[i]}};
    const auto found = byFrame.find(frame);
    if (found == byFrame.end()) {
      entry["status"] = "not rendered";
    } else {
      const Outcome& o = *found->second;
      entry["status"] = o.status;
      if (o.status != std::string("skipped"))
        entry["seconds"] = o.seconds;
      if (!o.error.empty())
        entry["error"] = o.error;
    }
    ++counts[entry["status"].get<std::string>()];
    frames.push_back(std::move(entry));
  }
  nlohmann::ordered_json doc{{"tool", "tweenova-render"},
                             {"version", TWEENOVA_VERSION},
                             {"input", run.input},
                             {"output", run.output},
                             {"exit_status", run.exitStatus},
                             {"interrupted", run.interrupted},
                             {"elapsed_seconds", run.elapsedSeconds},
                             {"peak_memory_mib", run.peakMemoryMiB},
                             {"frames_requested", run.requested.size()},
                             {"frames_written", counts["written"]},
                             {"frames_failed", counts["failed"]},
                             {"frames_skipped", counts["skipped"]},
                             {"frames_not_rendered", counts["not rendered"]},
                             {"frames", std::move(frames)}};
  if (run.movie) {
    nlohmann::ordered_json movie{{"file", run.output}, {"written", run.movie->failure.empty()}};
    if (!run.movie->failure.empty())
      movie["error"] = run.movie->failure;
    doc["movie"] = std::move(movie);
  }
  // File names and messages may hold bytes that are not UTF-8: replaced, not refused.
  return doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

} // namespace cli
