// Loaded into the `transcode` program by the fault tests (LD_PRELOAD): as the process exits, after
// the program's own clean-up, it writes the descriptors still open ("number target" per line) to
// the file <TRANSCODE_EXIT_DESCRIPTORS>/<pid>. Other programs it is loaded into (the shell that
// starts the run) write nothing.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool IsTranscode() {
    char exe[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) return false;
    exe[length] = '\0';
    const char* name = std::strrchr(exe, '/');
    return name != nullptr && std::strcmp(name + 1, "transcode") == 0;
}

std::string OpenDescriptors() {
    std::string listing;
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) return listing;
    const int own = dirfd(directory);
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[PATH_MAX];
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        listing += std::string(entry->d_name) + " " +
                   std::string(target, length > 0 ? static_cast<std::size_t>(length) : 0) + "\n";
    }
    closedir(directory);
    return listing;
}

__attribute__((destructor)) void ReportOpenDescriptors() {
    const char* directory = std::getenv("TRANSCODE_EXIT_DESCRIPTORS");
    if (directory == nullptr || !IsTranscode()) return;
    const std::string listing = OpenDescriptors();
    const std::string path = std::string(directory) + "/" + std::to_string(getpid());
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) return;
    if (write(file, listing.data(), listing.size()) < 0) {
        // Nothing to tell anyone at exit; the test sees a short listing.
    }
    close(file);
}

}  // namespace
