// The shipped documents against the program: the example configuration must stay the file that
// "-C" writes (with only the operator's marks added), and the man page must describe every key
// that file holds.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/log_lines.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr const char* kMarkPrefix = "# >>> ";

std::string PackagingFile(const std::string& name) {
    return ReadWholeFile(std::string(TRANSCODE_SOURCE_DIR) + "/packaging/" + name);
}

std::string WithoutMarks(const std::string& text) {
    std::string kept;
    for (const std::string& line : SplitLines(text)) {
        if (line.rfind(kMarkPrefix, 0) != 0) kept += line + "\n";
    }
    return kept;
}

std::vector<std::string> KeysOf(const std::string& config) {
    std::vector<std::string> keys;
    for (const std::string& line : SplitLines(config)) {
        const std::size_t equals = line.find('=');
        if (!line.empty() && line[0] != '#' && equals != std::string::npos)
            keys.push_back(line.substr(0, equals));
    }
    return keys;
}

class ShippedDocuments : public testing::Test {
  protected:
    void SetUp() override {
        const ChildResult result =
            RunProgram({TRANSCODE_BINARY, "-C", "-c", dir_.file("written.cfg")}, dir_.path());
        ASSERT_EQ(result.exitStatus, 0) << result.out << result.err;
        written_ = ReadWholeFile(dir_.file("written.cfg"));
        ASSERT_FALSE(written_.empty());
    }

    TempDir dir_;
    std::string written_;
};

TEST_F(ShippedDocuments, TheExampleConfigurationIsWhatDashCWritesPlusMarks) {
    const std::string example = PackagingFile("example.cfg");
    EXPECT_EQ(WithoutMarks(example), written_)
        << "packaging/example.cfg is out of date: take the file -C writes and mark it again";
    for (const char* key :
         {"SourceURL", "Server", "Port", "ServerPassword", "ServerType", "ServerMountpoint"}) {
        const std::regex marked(std::string("\n# >>> CHANGE THIS[^\n]*\n") + key + "=");
        EXPECT_TRUE(std::regex_search(example, marked)) << key << " is not marked";
    }
}

TEST_F(ShippedDocuments, TheManPageDescribesEveryKey) {
    const std::string page = PackagingFile("transcode.1.in");
    const std::vector<std::string> keys = KeysOf(written_);
    ASSERT_EQ(keys.size(), 61u);
    for (const std::string& key : keys) {
        // The key as a word of its own, as a bold term (".BR Key ...") or inside a list.
        const std::regex word("(^|[\\s\"])" + key + "([\\s\",]|$)");
        EXPECT_TRUE(std::regex_search(page, word)) << key << " is missing from the man page";
    }
}

}  // namespace
