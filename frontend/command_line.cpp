// Program options: "transcode -c configfile [ -C -e errorlevel -l logfile -n ]", and "-V".
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/log.h"
#include "common/status.h"
#include "engine/libzembril.h"
#include "frontend/commandline.h"

namespace {

// Options end at the first argument that is not one, on every platform: glibc's getopt would
// otherwise move later options forward, so it gets the "+" that turns that off.
#if defined(__GLIBC__)
constexpr const char* kOptionString = "+hl:c:e:dnCV";
#else
constexpr const char* kOptionString = "hl:c:e:dnCV";
#endif

// getopt keeps its position in globals; start from the first argument on every call.
void RestartOptionScan() {
#if defined(__GLIBC__)
    optind = 0;  // 0, not 1: glibc then also forgets its state inside a bundle such as "-nC"
#else
    optreset = 1;
    optind = 1;
#endif
}

struct Options {
    const char* configPath = nullptr;
    const char* logPath = nullptr;
};

Options ReadOptions(int argc, char** argv) {
    Options options;
    RestartOptionScan();
    int option;
    while ((option = getopt(argc, argv, kOptionString)) != -1) {
        switch (option) {
            case 'c':
                options.configPath = optarg;
                break;
            case 'l':
                options.logPath = optarg;
                break;
            case 'e':
                SetLogLevel(static_cast<int>(std::strtol(optarg, nullptr, 10)));
                break;
            case 'n':
                consoleOutput = 0;
                break;
            case 'C':
                FrontEnd().createConfigOnly = 1;
                break;
            case 'V':
                PrintVersions();
                std::exit(0);  // the one way out that is not a failure
            default:
                PrintUsage();  // "-h", "-d", and whatever getopt has already complained about
        }
    }
    return options;
}

}  // namespace

void PrintUsage() {
    std::printf(
        "usage: transcode -c configfile [ -C -e errorlevel -l logfile -n ]\n"
        "where :\n"
        "\t-e = error logging level 1=ERROR, 2=INFO, 3=DEBUG\n"
        "\t-c = config file\n"
        "\t-C = create an example config file\n"
        "\t-l = log file\n"
        "\t-n = do not show console messages\n"
        "\n"
        "NOTE: to create a config file run : transcode -C -c myconfig.cfg\n");
    std::exit(1);
}

int ParseCommandLine(int argc, char** argv) {
    SetUpStatusSinks();
    InstallStopSignalHandler();
    InstallStopRequestHandlers();
    InstallLogReopenHandler();

    const Options options = ReadOptions(argc, argv);
    if (options.configPath == nullptr) {
        std::printf("Config file required\n");
        PrintUsage();
    }
    // The log path first, so that a refused configuration path is logged where "-l" says. Without
    // "-l" the logger holds its lines for the file the configuration names.
    if (options.logPath != nullptr) SetLogPath(options.logPath);
    if (!SetConfigPath(options.configPath)) std::exit(1);

    // Failures have been logged, and so shown on standard error, by the configuration code.
    if (FrontEnd().createConfigOnly) {
        const bool created = LoadConfig(kConfigCreate) != 0;
        if (created) std::printf("config file created\n");
        std::exit(created ? 0 : 1);
    }
    if (!LoadConfig(kConfigNormal)) std::exit(1);
    return 1;
}
