// tweenova-render: parses the command line and prints; the work lives in the session.
#include "cli/Options.h"
#include "cli/Session.h"

#include <iostream>

int main(int argc, char** argv)
{
  try {
    std::optional<cli::Options> options = cli::parseOptions(argc, argv);
    if (!options)
      return cli::kExitSuccess;
    cli::Session session(*options);
    if (options->panel)
      return session.printPanel(std::cout);
    if (options->list)
      return session.listFrames(std::cout);
    return session.render();
  } catch (const cli::UsageError& e) {
    std::cerr << "tweenova-render: error: " << e.what << " : " << e.why << std::endl;
    return cli::kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "tweenova-render: error: " << e.what() << std::endl;
    return cli::kExitUsage;
  }
}
