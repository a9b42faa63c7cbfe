#include "cli/run/RenderSummary.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

TEST(RenderSummary, FramesAnInterruptedRenderNeverReachedAreListedAndOddBytesSurvive)
{
  cli::RenderSummary summary;
  summary.written(10, "out.0010.exr", 1.5);
  // A file name in Latin-1, as an old archive may hold: not UTF-8.
  summary.failed(12, "out.0012.exr", 0.25, "cannot read caf\xe9.0012.exr");
  cli::RenderSummary::Run run;
  run.requested = {10, 11, 12, 13};
  run.files = {"out.0010.exr", "out.0011.exr", "out.0012.exr", "out.0013.exr"};
  run.interrupted = true;
  run.exitStatus = 130;
  const nlohmann::json doc = nlohmann::json::parse(summary.json(run));
  EXPECT_EQ(doc["interrupted"], true);
  EXPECT_EQ(doc["exit_status"], 130);
  EXPECT_EQ(doc["frames_written"], 1);
  EXPECT_EQ(doc["frames_failed"], 1);
  EXPECT_EQ(doc["frames_not_rendered"], 2);
  EXPECT_EQ(doc["frames"][1]["status"], "not rendered");
  EXPECT_EQ(doc["frames"][3]["status"], "not rendered");
  EXPECT_FALSE(doc["frames"][1].contains("seconds"));
  EXPECT_EQ(doc["frames"][0]["seconds"], 1.5);
  EXPECT_EQ(doc["frames"][2]["error"], "cannot read caf\xef\xbf\xbd.0012.exr");
}
