#include "tests/support/background_run.h"

BackgroundTranscode::BackgroundTranscode(const std::string& binary, const std::string& directory,
                                         const std::string& configFile, int timeoutMs,
                                         const std::vector<std::string>& environment)
    : child_(Start(binary, directory, configFile, environment)), timeoutMs_(timeoutMs) {}

ChildStart BackgroundTranscode::Start(const std::string& binary, const std::string& directory,
                                      const std::string& configFile,
                                      const std::vector<std::string>& environment) {
    ChildStart start({binary, "-c", configFile}, directory);
    start.environment = environment;
    return start;
}
