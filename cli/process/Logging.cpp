#include "cli/process/Logging.h"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

namespace cli {

void sendLogsToStderr()
{
  auto logger = spdlog::stderr_color_mt("tweenova-render");
  logger->set_level(spdlog::default_logger()->level());
  spdlog::set_default_logger(logger);
}

void flushLogs() { spdlog::apply_all([](const std::shared_ptr<spdlog::logger>& logger) { logger->flush(); }); }

} // namespace cli
