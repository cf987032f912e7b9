// The configuration file as an operator writes it: read into the table, applied to the engine
// (every key looked up and converted), then written back the way "-C" writes it and read again,
// which must give back the same table. A file the reader refuses (a line too long, a NUL byte)
// must leave the table empty.
//
// Input: the file's bytes.
//
// The target works in a private temporary directory (it changes into it at start, so corpus
// paths given to it must be absolute): the file's LogFile entry is pointed at /dev/null, and a
// table too full to take one leaves the log at its default name, relative to that directory.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/config_store.h"
#include "common/log.h"
#include "engine/libzembril.h"
#include "fuzz/fuzz_support.h"

namespace {

std::string workDirectory;

std::string WorkFile(const char* name) {
    return workDirectory + "/" + name;
}

bool WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

using TableCopy = std::vector<std::pair<std::string, std::string>>;

TableCopy CopyTable() {
    TableCopy copy;
    const ConfigTable& table = Config();
    for (int i = 0; i < table.entryCount; ++i) {
        copy.emplace_back(table.entries[i].key.c_str(), table.entries[i].value.c_str());
    }
    return copy;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/transcode-config-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) {
        FuzzFailure("cannot make the working directory");
    }
    workDirectory = pattern;
    ResetProcessRecords();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = WorkFile("input.cfg");
    if (!WriteFile(input, data, size)) FuzzFailure("cannot write the input file");
    const int read = ReadConfigEntries(input.c_str(), CatalogueKeys());
    FuzzCheck(read != 0, "the file is read");
    if (read < 0) {
        FuzzCheck(Config().entryCount == 0, "a refused file adds nothing");
        ResetProcessRecords();
        return 0;
    }
    SetConfigValue("LogFile", "/dev/null");
    ApplyConfig();
    SetLogPath("/dev/null");

    const std::string written = WorkFile("written.cfg");
    SetConfigPath(written.c_str());
    FuzzCheck(WriteConfigFile() == 1, "the file is written");
    const TableCopy before = CopyTable();
    ResetConfigTable();
    FuzzCheck(ReadConfigEntries(written.c_str()) == 1, "the written file is read");
    FuzzCheck(CopyTable() == before, "the written file gives back the same table");
    ResetProcessRecords();
    return 0;
}
