#include "bench/process_sample.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "bench/measured_child.h"

namespace {

std::string ProcPath(pid_t pid, const char* name) {
    return "/proc/" + std::to_string(pid) + "/" + name;
}

// The value in kB of each line starting with one of the keys, added up; -1 when none was found.
double SumOfKiBLines(const std::string& path, std::initializer_list<const char*> keys) {
    std::ifstream file(path);
    std::string line;
    double total = 0;
    bool found = false;
    while (std::getline(file, line)) {
        for (const char* key : keys) {
            const std::size_t length = std::strlen(key);
            if (line.compare(0, length, key) == 0 && line.size() > length && line[length] == ':') {
                total += std::strtod(line.c_str() + length + 1, nullptr);
                found = true;
            }
        }
    }
    return found ? total : -1;
}

// Fields 14 and 15 of /proc/PID/stat, counted after the command name's closing parenthesis
// (the name itself may hold spaces).
double CpuSeconds(pid_t pid) {
    std::ifstream file(ProcPath(pid, "stat"));
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t nameEnd = text.rfind(')');
    if (nameEnd == std::string::npos) return -1;
    std::istringstream fields(text.substr(nameEnd + 1));
    std::string field;
    double ticks = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number >= 14) ticks += std::strtod(field.c_str(), nullptr);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

std::vector<std::string> DescriptorTargets(pid_t pid) {
    std::vector<std::string> targets;
    const std::string directoryPath = ProcPath(pid, "fd");
    DIR* directory = opendir(directoryPath.c_str());
    if (directory == nullptr) return targets;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] == '.') continue;
        char target[256] = {};
        const std::string link = directoryPath + "/" + entry->d_name;
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        targets.push_back(
            std::string(entry->d_name) + " -> " +
            (length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "?"));
    }
    closedir(directory);
    return targets;
}

ProcessSample SampleProcess(pid_t pid) {
    ProcessSample sample;
    sample.atSeconds = MonotonicSeconds();
    sample.residentKiB = SumOfKiBLines(ProcPath(pid, "status"), {"VmRSS"});
    sample.peakKiB = SumOfKiBLines(ProcPath(pid, "status"), {"VmHWM"});
    sample.privateKiB =
        SumOfKiBLines(ProcPath(pid, "smaps_rollup"), {"Private_Clean", "Private_Dirty"});
    const std::vector<std::string> targets = DescriptorTargets(pid);
    sample.descriptors = static_cast<int>(targets.size());
    for (const std::string& target : targets) {
        for (const char* kind : {"-> socket:", "-> pipe:", "-> anon_inode:"}) {
            if (target.find(kind) != std::string::npos) ++sample.connections;
        }
    }
    sample.cpuSeconds = CpuSeconds(pid);
    sample.valid = sample.residentKiB >= 0 && sample.privateKiB >= 0 && !targets.empty() &&
                   sample.cpuSeconds >= 0;
    return sample;
}

double LeastSquaresSlope(const std::vector<double>& x, const std::vector<double>& y) {
    const std::size_t n = std::min(x.size(), y.size());
    if (n < 2) return 0;
    double meanX = 0;
    double meanY = 0;
    for (std::size_t i = 0; i < n; ++i) {
        meanX += x[i] / static_cast<double>(n);
        meanY += y[i] / static_cast<double>(n);
    }
    double covariance = 0;
    double variance = 0;
    for (std::size_t i = 0; i < n; ++i) {
        covariance += (x[i] - meanX) * (y[i] - meanY);
        variance += (x[i] - meanX) * (x[i] - meanX);
    }
    return variance > 0 ? covariance / variance : 0;
}
