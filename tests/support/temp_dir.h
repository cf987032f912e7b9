// A fresh directory under /tmp for one test, removed with everything in it at the end.
#pragma once

#include <string>
#include <vector>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The regular files directly inside a directory, as full paths, in no particular order.
std::vector<std::string> FilesIn(const std::string& directory);
// The names of those files, sorted: what a run left behind.
std::vector<std::string> FileNamesIn(const std::string& directory);

// Whole content of a file ("" when it cannot be read).
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& content);
