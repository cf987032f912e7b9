// The standard process_* figures of a Prometheus client, read from /proc the way its client
// libraries read them.
#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "frontend/status_pages.h"

namespace {

double Decimal(const std::string& text) {
    return std::strtod(text.c_str(), nullptr);
}

// The fields of /proc/self/stat after the command name, which may hold blanks and parentheses.
// fields[0] is the state (field 3 of the file).
std::vector<std::string> StatFields() {
    std::ifstream file("/proc/self/stat");
    std::string line;
    std::getline(file, line);
    const std::size_t nameEnd = line.rfind(')');
    std::vector<std::string> fields;
    if (nameEnd == std::string::npos) return fields;
    std::istringstream rest(line.substr(nameEnd + 1));
    for (std::string field; rest >> field;) fields.push_back(field);
    return fields;
}

double BootTimeSeconds() {
    std::ifstream file("/proc/stat");
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("btime ", 0) == 0) return Decimal(line.substr(6));
    }
    return 0.0;
}

double ResidentBytes() {
    std::ifstream file("/proc/self/statm");
    double sizePages = 0;
    double residentPages = 0;
    file >> sizePages >> residentPages;
    return residentPages * static_cast<double>(sysconf(_SC_PAGESIZE));
}

double OpenDescriptors() {
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) return 0.0;
    double count = 0;
    while (const dirent* entry = readdir(folder)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(folder);
    return count - 1;  // the folder's own descriptor
}

}  // namespace

ProcessFigures ReadProcessFigures() {
    ProcessFigures figures;
    const std::vector<std::string> fields = StatFields();
    // utime, stime and starttime are fields 14, 15 and 22 of the file.
    constexpr std::size_t kUserTime = 14 - 3;
    constexpr std::size_t kSystemTime = 15 - 3;
    constexpr std::size_t kStartTime = 22 - 3;
    const double ticksPerSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
    if (fields.size() > kStartTime && ticksPerSecond > 0) {
        figures.cpuSeconds =
            (Decimal(fields[kUserTime]) + Decimal(fields[kSystemTime])) / ticksPerSecond;
        figures.startTimeSeconds = BootTimeSeconds() + Decimal(fields[kStartTime]) / ticksPerSecond;
    }
    figures.residentBytes = ResidentBytes();
    figures.openDescriptors = OpenDescriptors();
    return figures;
}
