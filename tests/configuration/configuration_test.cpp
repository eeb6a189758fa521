#include "configuration/configuration.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>

#include "tests/support/console_capture.h"
#include "tests/support/process.h"

namespace {

using halvex::test::ConsoleCapture;
using halvex::test::TempDir;

const char* const kReadLine = "HX>Reading configuration file: ";
const char* const kSuccessLine = "HX>Configuration file read succesfully.\n";

// A complete file; cases replace one part of it.
std::string file(const std::string& spo2 = "<Entry key=\"90\" value=\"600\"/><Entry key=\"100\" value=\"300\"/>",
                 const std::string& co2 = "<Entry key=\"40\" value=\"500\"/>",
                 const std::string& extra = "<IPRangeStart>127.0.0.10</IPRangeStart><IPRangeEnd>127.0.0.20</IPRangeEnd>"
                                            "<SimulatorIP>127.0.0.2</SimulatorIP><RHMIP>127.0.0.3</RHMIP>",
                 const std::string& scale = "5") {
    return "<?xml version=\"1.0\"?>\n<Halvex><SPO2Scale>" + scale +
           "</SPO2Scale><SerialID>HX-0042</SerialID><IPAddress>127.0.0.5</IPAddress>"
           "<SPO2Calibration>" + spo2 + "</SPO2Calibration><CO2Calibration>" + co2 + "</CO2Calibration>" + extra +
           "</Halvex>\n";
}

struct Case {
    const char* name;
    std::string xml;  // empty: no file at all
    bool result;
    std::vector<std::string> errLines;  // exact standard-error lines; "*" matches any reader text after HX>ERROR>
    std::function<void(const Configuration&)> check;
    // The JSON edition's keys unless a case says otherwise.
    ConfigurationKeys keys{true};
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

const std::string kAnyReaderError = "HX>ERROR>*";
const std::string kUnreadable = "Unable to read the configuration file";

std::vector<Case> cases() {
    return {
        {"complete file", file(), true, {}, [](const Configuration& c) {
             EXPECT_EQ(c.SPO2Scale, 5);
             EXPECT_EQ(c.SerialID, "HX-0042");
             EXPECT_EQ(c.IPAddress, "127.0.0.5");
             EXPECT_EQ(c.IPRangeStart, "127.0.0.10");
             EXPECT_EQ(c.IPRangeEnd, "127.0.0.20");
             EXPECT_EQ(c.SimulatorIP, "127.0.0.2");
             EXPECT_EQ(c.RHMIP, "127.0.0.3");
             EXPECT_EQ(c.SPO2Calibration, (std::map<float, float>{{90.f, 600.f}, {100.f, 300.f}}));
             EXPECT_EQ(c.CO2Calibration, (std::map<float, float>{{40.f, 500.f}}));
         }},
        {"no file", "", false, {kAnyReaderError, kUnreadable}, nullptr},
        {"malformed XML", "<Halvex><SPO2Scale>5</Halvex>", false, {kAnyReaderError, kUnreadable}, nullptr},
        {"missing SPO2Scale", "<Halvex><SerialID/><IPAddress/></Halvex>", false, {kAnyReaderError, kUnreadable}, nullptr},
        {"non-integer SPO2Scale", file("", "", "", "5x"), false, {kAnyReaderError, kUnreadable}, nullptr},
        {"SPO2Scale with spaces", file(), true, {}, [](const Configuration& c) { EXPECT_EQ(c.SPO2Scale, 5); }},
        {"missing SerialID", "<Halvex><SPO2Scale>5</SPO2Scale><IPAddress/></Halvex>", false, {kAnyReaderError, kUnreadable}, nullptr},
        {"missing SPO2Calibration element",
         "<Halvex><SPO2Scale>5</SPO2Scale><SerialID/><IPAddress/><CO2Calibration><Entry key=\"1\" value=\"1\"/></CO2Calibration></Halvex>",
         false, {kAnyReaderError, kUnreadable}, nullptr},
        {"empty SPO2 table", file(""), false, {"HX>ERROR>Missing \"Halvex.SPO2Calibration\" into configuration XML"},
         [](const Configuration& c) { EXPECT_TRUE(c.CO2Calibration.empty()); }},
        {"empty CO2 table", file(file().empty() ? "" : "<Entry key=\"1\" value=\"2\"/>", ""), false,
         {"HX>ERROR>Missing \"Halvex.CO2Calibration\" into configuration XML"}, nullptr},
        {"duplicate keys: the later wins", file("<Entry key=\"90\" value=\"1\"/><Entry key=\"90\" value=\"2\"/>"), true, {},
         [](const Configuration& c) { EXPECT_EQ(c.SPO2Calibration, (std::map<float, float>{{90.f, 2.f}})); }},
        {"missing attributes count as 0", file("<Entry value=\"7\"/><Entry key=\"3\"/>"), true, {},
         [](const Configuration& c) { EXPECT_EQ(c.SPO2Calibration, (std::map<float, float>{{0.f, 7.f}, {3.f, 0.f}})); }},
        {"unreadable attribute counts as 0", file("<Entry key=\"abc\" value=\"7\"/>"), true, {},
         [](const Configuration& c) { EXPECT_EQ(c.SPO2Calibration, (std::map<float, float>{{0.f, 7.f}})); }},
        {"comment inside a table is no entry", file("<!-- monitor A --><Entry key=\"90\" value=\"600\"/>"), true, {},
         [](const Configuration& c) { EXPECT_EQ(c.SPO2Calibration, (std::map<float, float>{{90.f, 600.f}})); }},
        {"a table holding only a comment is empty", file("<!-- nothing yet -->"), false,
         {"HX>ERROR>Missing \"Halvex.SPO2Calibration\" into configuration XML"}, nullptr},
        {"range missing: still true", file(file().empty() ? "" : "<Entry key=\"1\" value=\"2\"/>", "<Entry key=\"1\" value=\"2\"/>",
                                           "<SimulatorIP>127.0.0.2</SimulatorIP><RHMIP>127.0.0.3</RHMIP>"),
         true, {kAnyReaderError, "Unable to read \"IPRangeStart or IPRangeEnd\" from the configuration file. Ignoring."},
         [](const Configuration& c) {
             EXPECT_EQ(c.IPRangeStart, "");
             EXPECT_EQ(c.IPRangeEnd, "");
             EXPECT_EQ(c.SimulatorIP, "127.0.0.2");
         }},
        {"simulator addresses missing: defaults kept",
         file("<Entry key=\"1\" value=\"2\"/>", "<Entry key=\"1\" value=\"2\"/>",
              "<IPRangeStart>a</IPRangeStart><IPRangeEnd>b</IPRangeEnd>"),
         true,
         {kAnyReaderError, "Unable to read \"SimulatorIP or RHMIP\" from the configuration file. Ignoring and using "
                           "default of 127.0.0.1 for both."},
         [](const Configuration& c) {
             EXPECT_EQ(c.SimulatorIP, "127.0.0.1");
             EXPECT_EQ(c.RHMIP, "127.0.0.1");
         }},
        {"spaces around the address are kept",
         "<Halvex><SPO2Scale> 5 </SPO2Scale><SerialID>s</SerialID><IPAddress> 127.0.0.5 </IPAddress>"
         "<SPO2Calibration><Entry key=\"1\" value=\"2\"/></SPO2Calibration><CO2Calibration><Entry key=\"1\" value=\"2\"/>"
         "</CO2Calibration><IPRangeStart/><IPRangeEnd/><SimulatorIP>127.0.0.1</SimulatorIP><RHMIP>127.0.0.1</RHMIP></Halvex>",
         true, {}, [](const Configuration& c) {
             EXPECT_EQ(c.IPAddress, " 127.0.0.5 ");
             EXPECT_EQ(c.SPO2Scale, 5);
         }},
        {"simulator addresses are not the v2.2 edition's keys", file("<Entry key=\"90\" value=\"600\"/>",
                                                                  "<Entry key=\"40\" value=\"500\"/>",
                                                                  "<SimulatorIP>127.0.0.2</SimulatorIP>"),
         true, {kAnyReaderError, "Unable to read \"IPRangeStart or IPRangeEnd\" from the configuration file. Ignoring."},
         [](const Configuration& c) {
             EXPECT_EQ(c.SimulatorIP, "127.0.0.1");
             EXPECT_EQ(c.RHMIP, "127.0.0.1");
         },
         ConfigurationKeys{false}},
    };
}

TEST(ConfigurationLoad, TableOfFiles) {
    for (const Case& test : cases()) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        const std::string path = dir.file("settings.xml");
        if (!test.xml.empty()) dir.write("settings.xml", test.xml);
        Configuration configuration(path, test.keys);
        bool result;
        ConsoleCapture output;
        {
            result = configuration.load();
        }
        EXPECT_EQ(result, test.result);
        const std::string out = output.out();
        EXPECT_EQ(out.rfind(kReadLine + path + "\n", 0), 0u) << out;
        EXPECT_EQ(out.find(kSuccessLine) != std::string::npos, test.result) << out;
        const auto err = lines(output.err());
        ASSERT_EQ(err.size(), test.errLines.size()) << output.err();
        for (std::size_t i = 0; i < err.size(); ++i) {
            if (test.errLines[i] == kAnyReaderError) {
                EXPECT_EQ(err[i].rfind("HX>ERROR>", 0), 0u) << err[i];
                EXPECT_GT(err[i].size(), std::string("HX>ERROR>").size()) << "the reader's description is missing";
            } else {
                EXPECT_EQ(err[i], test.errLines[i]);
            }
        }
        if (test.check) test.check(configuration);
    }
}

TEST(ConfigurationLoad, DefaultsBeforeAnyRead) {
    Configuration configuration("unused.xml");
    EXPECT_EQ(configuration.path(), "unused.xml");
    EXPECT_EQ(configuration.SPO2Scale, 5);
    EXPECT_EQ(configuration.SimulatorIP, "127.0.0.1");
    EXPECT_EQ(configuration.RHMIP, "127.0.0.1");
    EXPECT_TRUE(configuration.SPO2Calibration.empty());
    EXPECT_TRUE(configuration.IPAddress.empty());
}

TEST(ConfigurationLoad, RereadForgetsDeletedEntries) {
    TempDir dir;
    const std::string path = dir.file("settings.xml");
    Configuration configuration(path);
    ConsoleCapture quiet;
    dir.write("settings.xml", file("<Entry key=\"90\" value=\"600\"/><Entry key=\"100\" value=\"300\"/>",
                                   "<Entry key=\"40\" value=\"500\"/><Entry key=\"60\" value=\"700\"/>"));
    ASSERT_TRUE(configuration.load());
    dir.write("settings.xml", file("<Entry key=\"100\" value=\"300\"/>", "<Entry key=\"40\" value=\"500\"/>"));
    ASSERT_TRUE(configuration.load());
    EXPECT_EQ(configuration.SPO2Calibration, (std::map<float, float>{{100.f, 300.f}}));
    EXPECT_EQ(configuration.CO2Calibration, (std::map<float, float>{{40.f, 500.f}}));
}

TEST(ConfigurationLoad, FractionalKeysKeepTheirValue) {
    TempDir dir;
    dir.write("settings.xml", file("<Entry key=\"0.5\" value=\"412.25\"/>"));
    Configuration configuration(dir.file("settings.xml"));
    ConsoleCapture quiet;
    ASSERT_TRUE(configuration.load());
    EXPECT_EQ(configuration.SPO2Calibration, (std::map<float, float>{{0.5f, 412.25f}}));
}

// ---- save ----

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The files of a folder whose names start with `prefix`, sorted.
std::vector<std::string> filesStartingWith(const std::string& folder, const std::string& prefix) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

const char* const kOriginal = "<?xml version=\"1.0\"?>\n<!-- kept only in the backup -->\n<Halvex><SPO2Scale>5</SPO2Scale>"
                              "<SerialID>HX-0042</SerialID><IPAddress>127.0.0.5</IPAddress>"
                              "<SPO2Calibration><Entry key=\"90\" value=\"600\"/></SPO2Calibration>"
                              "<CO2Calibration><Entry key=\"40\" value=\"500\"/></CO2Calibration></Halvex>\n";

class ConfigurationSave : public testing::Test {
protected:
    ConfigurationSave() {
        dir.write("settings.xml", kOriginal);
        configuration.IPAddress = "127.0.0.5";
        configuration.IPRangeStart = "127.0.0.10";
        configuration.IPRangeEnd = "127.0.0.20";
        configuration.SerialID = "HX-0042";
        configuration.SPO2Scale = 4;
        configuration.CO2Calibration = {{40.0f, 500.0f}};
        configuration.SPO2Calibration = {{0.5f, 412.25f}, {97.0f, 300.0f}};
    }
    std::vector<std::string> backups() const { return filesStartingWith(dir.path(), "settings.xml."); }

    TempDir dir;
    const std::string path = dir.file("settings.xml");
    Configuration configuration{path};
    ConsoleCapture console;
};

TEST_F(ConfigurationSave, WritesTheSettingsInTheirLayoutAfterAByteForByteBackup) {
    ASSERT_TRUE(configuration.save()) << console.err();
    EXPECT_EQ(contents(path),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<Halvex>\n"
              "    <IPAddress>127.0.0.5</IPAddress>\n"
              "    <IPRangeStart>127.0.0.10</IPRangeStart>\n"
              "    <IPRangeEnd>127.0.0.20</IPRangeEnd>\n"
              "    <SerialID>HX-0042</SerialID>\n"
              "    <SPO2Scale>4</SPO2Scale>\n"
              "    <CO2Calibration>\n"
              "        <Entry key=\"40\" value=\"500\"/>\n"
              "    </CO2Calibration>\n"
              "    <SPO2Calibration>\n"
              "        <Entry key=\"0.5\" value=\"412.25\"/>\n"
              "        <Entry key=\"97\" value=\"300\"/>\n"
              "    </SPO2Calibration>\n"
              "</Halvex>\n");
    EXPECT_EQ(console.out(), "HX>Configuration file has been written at: " + path + "\n" + path + "\n");
    EXPECT_EQ(console.err(), "");

    const auto saved = backups();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_TRUE(std::regex_match(saved[0], std::regex(R"(settings\.xml\.\d\d-\d\d-\d{4} \d\d-\d\d-\d\d\.bak)"))) << saved[0];
    EXPECT_EQ(contents(dir.file(saved[0])), kOriginal);

    // Read back, the written file gives the same settings.
    Configuration reread(path);
    ASSERT_TRUE(reread.load()) << console.err();
    EXPECT_EQ(reread.IPAddress, "127.0.0.5");
    EXPECT_EQ(reread.IPRangeStart, "127.0.0.10");
    EXPECT_EQ(reread.IPRangeEnd, "127.0.0.20");
    EXPECT_EQ(reread.SerialID, "HX-0042");
    EXPECT_EQ(reread.SPO2Scale, 4);
    EXPECT_EQ(reread.CO2Calibration, configuration.CO2Calibration);
    EXPECT_EQ(reread.SPO2Calibration, configuration.SPO2Calibration);
}

// Saves within one second share a time stamp: the second backup takes another name and
// the first keeps the file as it was before the first save.
TEST_F(ConfigurationSave, BackupsAreNeverOverwritten) {
    ASSERT_TRUE(configuration.save());
    const std::string afterFirst = contents(path);
    configuration.SPO2Scale = 6;
    ASSERT_TRUE(configuration.save());
    configuration.SPO2Scale = 7;
    ASSERT_TRUE(configuration.save());
    const auto saved = backups();
    ASSERT_EQ(saved.size(), 3u);
    std::vector<std::string> texts;
    for (const std::string& name : saved)
        texts.push_back(contents(dir.file(name)));
    EXPECT_EQ(std::count(texts.begin(), texts.end(), std::string(kOriginal)), 1);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), afterFirst), 1);
    EXPECT_TRUE(filesStartingWith(dir.path(), "settings.xml.saving").empty());
}

TEST_F(ConfigurationSave, AReadOnlyFileIsBackedUpAndLeftAsItWas) {
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    EXPECT_FALSE(configuration.save());
    EXPECT_EQ(contents(path), kOriginal);
    EXPECT_EQ(backups().size(), 1u);
    EXPECT_EQ(console.err(), "HX>ERROR>" + path + " is read-only\nUnable to save the configuration file\n");
    EXPECT_EQ(configuration.SPO2Scale, 4) << "the new values stay in memory";
}

// Without a complete backup the file is not touched. The backup cannot be made in a
// folder the saving user may not write to: as root, the save runs as another user.
TEST_F(ConfigurationSave, NoBackupNoRewrite) {
    constexpr uid_t kNobody = 65534;
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) {
        ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
    }
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    auto attempt = [&] { return configuration.save() ? 1 : 0; };
    int saved;
    if (asRoot) {
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 ? attempt() : 99);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        saved = WEXITSTATUS(status);
    } else {
        saved = attempt();
    }
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(saved, 0);
    EXPECT_EQ(contents(path), kOriginal);
    EXPECT_TRUE(backups().empty());
}

}  // namespace
