#include "configuration/configuration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <regex>
#include <set>

#include "tests/support/console_capture.h"
#ifndef _WIN32
#include "tests/support/file_size_limit.h"
#endif
#include "tests/support/process.h"

namespace {

using halvex::configuration::Configuration;
using halvex::configuration::ConfigurationKeys;

using halvex::test::ConsoleCapture;
#ifndef _WIN32
using halvex::test::FileSizeLimit;
#endif
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
const std::string kEntry = "<Entry key=\"1\" value=\"2\"/>";

std::string repeat(const std::string& text, std::size_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += text;
    return out;
}
// Elements nested `levels` deep (below the root "Halvex", one level itself).
std::string nested(std::size_t levels) { return repeat("<n>", levels) + repeat("</n>", levels); }

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
        // The XML reader recurses once per element level: a file this deep would
        // overflow its stack, so the depth is checked before parsing.
        {"100,000 nested elements", "<Halvex>" + repeat("<a>", 100000) + repeat("</a>", 100000) + "</Halvex>", false,
         {kAnyReaderError, kUnreadable}, nullptr},
        {"nested to the limit", file(kEntry, kEntry, nested(Configuration::kMaxXmlDepth - 1)), true,
         {kAnyReaderError, "Unable to read \"IPRangeStart or IPRangeEnd\" from the configuration file. Ignoring."},
         nullptr, ConfigurationKeys{false}},
        {"one level deeper", file(kEntry, kEntry, nested(Configuration::kMaxXmlDepth)), false,
         {"HX>ERROR>" + std::string("*nested deeper than 64 levels"), kUnreadable}, nullptr},
        {"markup that opens no element does not nest",
         file(kEntry, kEntry,
              repeat("<!-- <c> -->", 100) + repeat("<![CDATA[<d>]]>", 100) + repeat("<e x=\"<f>\" y='/>'/>", 100) +
                  repeat("<g z=\"/>\"></g>", 100) + "<?pi <h>?><IPRangeStart/><IPRangeEnd/>"),
         true, {}, nullptr, ConfigurationKeys{false}},
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
            const std::size_t any = test.errLines[i].find('*');
            if (any != std::string::npos) {
                EXPECT_EQ(err[i].rfind("HX>ERROR>", 0), 0u) << err[i];
                EXPECT_GT(err[i].size(), std::string("HX>ERROR>").size()) << "the reader's description is missing";
                const std::string tail = test.errLines[i].substr(any + 1);
                EXPECT_EQ(err[i].compare(err[i].size() - std::min(tail.size(), err[i].size()), tail.size(), tail), 0)
                    << err[i];
            } else {
                EXPECT_EQ(err[i], test.errLines[i]);
            }
        }
        if (test.check) test.check(configuration);

        // The same text given as text: the same result and the same lines.
        if (test.xml.empty()) continue;
        Configuration fromText(path, test.keys);
        ConsoleCapture textOutput;
        EXPECT_EQ(fromText.loadText(test.xml), test.result);
        EXPECT_EQ(textOutput.err(), output.err());
        if (test.check) test.check(fromText);
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

namespace fs = std::filesystem;

const std::string kSaveFailed = "Unable to save the configuration file";

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Files in the folder whose names end with `suffix`, sorted.
std::set<std::string> filesEndingWith(const TempDir& dir, const std::string& suffix) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.insert(name);
    }
    return names;
}

std::string stampAt(std::time_t when) {
    std::tm local = *std::localtime(&when);
    char text[32];
    std::strftime(text, sizeof text, "%d-%m-%Y %H-%M-%S", &local);
    return text;
}

// A configuration as the calibration leaves it before saving; the numbers test the
// writer's formats (0.5, whole numbers, a float needing all 9 digits).
void fill(Configuration& c) {
    c.IPAddress = "127.0.0.5";
    c.IPRangeStart = "127.0.0.10";
    c.IPRangeEnd = "127.0.0.20";
    c.SerialID = "HX&<0042>";
    c.SPO2Scale = 4;
    c.SPO2Calibration = {{0.5f, 412.25f}, {95.f, 300.f}, {98.f, 250.f}};
    c.CO2Calibration = {{0.f, 0.f}, {0.1f, -7.f}, {40.f, 500.f}};
}

void expectFilled(const Configuration& c) {
    EXPECT_EQ(c.IPAddress, "127.0.0.5");
    EXPECT_EQ(c.IPRangeStart, "127.0.0.10");
    EXPECT_EQ(c.IPRangeEnd, "127.0.0.20");
    EXPECT_EQ(c.SerialID, "HX&<0042>");
    EXPECT_EQ(c.SPO2Scale, 4);
    EXPECT_EQ(c.SPO2Calibration, (std::map<float, float>{{0.5f, 412.25f}, {95.f, 300.f}, {98.f, 250.f}}));
    EXPECT_EQ(c.CO2Calibration, (std::map<float, float>{{0.f, 0.f}, {0.1f, -7.f}, {40.f, 500.f}}));
}

// The previous file, with what the writer drops (comments, an unknown element, CR LF
// line ends, a byte that is not UTF-8, no final line end): the backup must keep it all.
const std::string kOldFile = "<?xml version=\"1.0\"?>\r\n<!-- site A -->\r\n<Halvex><Extra>\xff</Extra>" +
                             file().substr(file().find("<Halvex>") + 8, std::string::npos);

TEST(ConfigurationSave, WritesAFileThatReadsBackAndBacksUpTheOldOneExactly) {
    TempDir dir;
    const std::string path = dir.file("settings.xml");
    std::string old = kOldFile;
    old.pop_back();  // no final line end
    dir.write("settings.xml", old);
#ifndef _WIN32  // Windows keeps only a read-only attribute
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif
    Configuration configuration(path);
    fill(configuration);

    ConsoleCapture output;
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(configuration.save()) << output.err();
    const std::time_t after = std::time(nullptr);

    EXPECT_EQ(output.lines(ConsoleCapture::Channel::Out),
              (std::vector<std::string>{"HX>Configuration file has been written at: " + path, path}));
    EXPECT_EQ(output.err(), "");
    expectFilled(configuration);

    const auto backups = filesEndingWith(dir, ".bak");
    ASSERT_EQ(backups.size(), 1u);
    const std::string backup = *backups.begin();
    std::set<std::string> allowed;
    for (std::time_t t = before; t <= after; ++t) allowed.insert("settings.xml." + stampAt(t) + ".bak");
    EXPECT_TRUE(allowed.count(backup)) << backup;
    EXPECT_EQ(readBytes(dir.file(backup)), old);
    EXPECT_TRUE(filesEndingWith(dir, ".tmp").empty());
#ifndef _WIN32
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif

    // The v2.2 edition reads back what it wrote.
    Configuration reread(path, ConfigurationKeys{});
    ConsoleCapture quiet;
    ASSERT_TRUE(reread.load()) << quiet.err();
    expectFilled(reread);
    EXPECT_EQ(quiet.err(), "");
}

TEST(ConfigurationSave, WrittenText) {
    TempDir dir;
    const std::string path = dir.file("settings.xml");
    dir.write("settings.xml", file());
    Configuration configuration(path);
    configuration.IPAddress = "127.0.0.5";
    configuration.IPRangeStart = "";
    configuration.IPRangeEnd = " 127.0.0.9 ";
    configuration.SerialID = "HX-1";
    configuration.SPO2Scale = -3;
    configuration.CO2Calibration = {{40.f, 500.f}};
    configuration.SPO2Calibration = {{97.f, 0.5f}, {0.5f, 97.f}, {1.f / 3.f, 1e-7f}};
    ConsoleCapture quiet;
    ASSERT_TRUE(configuration.save()) << quiet.err();
    EXPECT_EQ(readBytes(path),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<Halvex>\n"
              "    <IPAddress>127.0.0.5</IPAddress>\n"
              "    <IPRangeStart/>\n"
              "    <IPRangeEnd> 127.0.0.9 </IPRangeEnd>\n"
              "    <SerialID>HX-1</SerialID>\n"
              "    <SPO2Scale>-3</SPO2Scale>\n"
              "    <CO2Calibration>\n"
              "        <Entry key=\"40\" value=\"500\"/>\n"
              "    </CO2Calibration>\n"
              "    <SPO2Calibration>\n"
              "        <Entry key=\"0.333333343\" value=\"1.00000001e-07\"/>\n"
              "        <Entry key=\"0.5\" value=\"97\"/>\n"
              "        <Entry key=\"97\" value=\"0.5\"/>\n"
              "    </SPO2Calibration>\n"
              "</Halvex>\n");
}

// A configuration file the operator made read-only is not replaced (checked by its
// mode, since root may write any file); the backup is still made.
TEST(ConfigurationSave, ReadOnlyFileIsLeftAsItWas) {
    TempDir dir;
    const std::string path = dir.file("settings.xml");
    dir.write("settings.xml", kOldFile);
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    Configuration configuration(path);
    fill(configuration);
    ConsoleCapture output;
    EXPECT_FALSE(configuration.save());
    EXPECT_EQ(output.lines(ConsoleCapture::Channel::Err),
              (std::vector<std::string>{"HX>ERROR>The configuration file is read-only: " + path, kSaveFailed}));
    EXPECT_EQ(output.out(), "");
    EXPECT_EQ(readBytes(path), kOldFile);
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const auto backups = filesEndingWith(dir, ".bak");
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(readBytes(dir.file(*backups.begin())), kOldFile);
    EXPECT_TRUE(filesEndingWith(dir, ".tmp").empty());
    expectFilled(configuration);
}

// A full disk is made with a file size limit, and links need no privilege: POSIX only.
#ifndef _WIN32
// Whatever stops the backup, the file is not touched and nothing half-made is left.
TEST(ConfigurationSave, BackupThatCannotBeMadeStopsTheSave) {
    struct BackupCase {
        const char* name;
        std::string fileName;
        rlim_t sizeLimit;  // 0: none
        std::string reason;  // in the error line, before the backup's path
    };
    // A name that fits the file system but not once the stamp is added to it.
    const std::string longName = std::string(240, 'c') + ".xml";
    const std::vector<BackupCase> backupCases = {
        {"backup name too long for the file system", longName, 0, "Unable to create"},
        {"disk full while copying", "settings.xml", 16, "Unable to write"},
    };
    for (const BackupCase& test : backupCases) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        const std::string path = dir.file(test.fileName);
        dir.write(test.fileName, kOldFile);
        Configuration configuration(path);
        fill(configuration);
        ConsoleCapture output;
        bool result;
        {
            std::optional<FileSizeLimit> limit;
            if (test.sizeLimit != 0) limit.emplace(test.sizeLimit);
            result = configuration.save();
        }
        EXPECT_FALSE(result);
        const auto err = output.lines(ConsoleCapture::Channel::Err);
        ASSERT_EQ(err.size(), 2u) << output.err();
        EXPECT_EQ(err[0].rfind("HX>ERROR>", 0), 0u) << err[0];
        EXPECT_EQ(err[0].rfind("HX>ERROR>" + test.reason + " " + path + ".", 0), 0u) << err[0];
        EXPECT_NE(err[0].find(".bak: "), std::string::npos) << "the reason is missing: " << err[0];
        EXPECT_EQ(err[1], kSaveFailed);
        EXPECT_EQ(output.out(), "");
        EXPECT_EQ(readBytes(path), kOldFile);
        EXPECT_TRUE(filesEndingWith(dir, ".bak").empty()) << "a partial backup was left";
        EXPECT_TRUE(filesEndingWith(dir, ".tmp").empty());
        expectFilled(configuration);
    }
}

// The disk fills while the new text is written: the old file stays whole and is
// still the configuration file; the backup made before is kept.
TEST(ConfigurationSave, FullDiskWhileWritingKeepsTheOldFile) {
    TempDir dir;
    const std::string path = dir.file("settings.xml");
    dir.write("settings.xml", kOldFile);
    Configuration configuration(path);
    fill(configuration);
    for (int key = 0; key < 500; ++key) configuration.CO2Calibration[1000.f + key] = 1.f;  // far above the limit
    ConsoleCapture output;
    bool result;
    {
        FileSizeLimit limit(kOldFile.size() + 100);
        result = configuration.save();
    }
    EXPECT_FALSE(result);
    const auto err = output.lines(ConsoleCapture::Channel::Err);
    ASSERT_EQ(err.size(), 2u) << output.err();
    EXPECT_EQ(err[0].rfind("HX>ERROR>Unable to write " + path, 0), 0u) << err[0];
    EXPECT_EQ(err[1], kSaveFailed);
    EXPECT_EQ(readBytes(path), kOldFile);
    const auto backups = filesEndingWith(dir, ".bak");
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(readBytes(dir.file(*backups.begin())), kOldFile);
    EXPECT_TRUE(filesEndingWith(dir, ".tmp").empty());
}

#endif  // _WIN32

// Saves within one second never overwrite a backup: the time-stamped names are taken
// beforehand for the whole window, so both saves must number theirs.
TEST(ConfigurationSave, SavesInTheSameSecondKeepEveryBackup) {
    TempDir dir;
    const std::string path = dir.file("settings.xml");
    dir.write("settings.xml", kOldFile);
    const std::time_t start = std::time(nullptr);
    std::set<std::string> taken;
    for (std::time_t t = start; t <= start + 3; ++t) {
        const std::string name = "settings.xml." + stampAt(t) + ".bak";
        dir.write(name, "earlier backup " + name);
        taken.insert(name);
    }
    Configuration configuration(path);
    fill(configuration);
    ConsoleCapture output;
    ASSERT_TRUE(configuration.save()) << output.err();
    const std::string firstWritten = readBytes(path);
    configuration.SPO2Scale = 7;
    ASSERT_TRUE(configuration.save()) << output.err();
    ASSERT_LE(std::time(nullptr), start + 3) << "the saves took too long for this test";

    for (const std::string& name : taken) EXPECT_EQ(readBytes(dir.file(name)), "earlier backup " + name);
    std::vector<std::string> made;
    for (const std::string& name : filesEndingWith(dir, ".bak"))
        if (!taken.count(name)) made.push_back(name);
    ASSERT_EQ(made.size(), 2u);
    const std::regex numbered(R"(settings\.xml\.\d\d-\d\d-\d{4} \d\d-\d\d-\d\d\.[12]\.bak)");
    std::set<std::string> contents;
    for (const std::string& name : made) {
        EXPECT_TRUE(std::regex_match(name, numbered)) << name;
        contents.insert(readBytes(dir.file(name)));
    }
    EXPECT_EQ(contents, (std::set<std::string>{kOldFile, firstWritten}));
    EXPECT_TRUE(filesEndingWith(dir, ".tmp").empty());
}

// A file deleted while the bridge ran holds nothing to lose: the calibration is
// written without a backup rather than dropped.
TEST(ConfigurationSave, MissingFileIsWrittenWithoutBackup) {
    TempDir dir;
    const std::string path = dir.file("settings.xml");
    Configuration configuration(path);
    fill(configuration);
    ConsoleCapture output;
    ASSERT_TRUE(configuration.save()) << output.err();
    EXPECT_EQ(output.lines(ConsoleCapture::Channel::Out),
              (std::vector<std::string>{"HX>No configuration file to back up at: " + path,
                                        "HX>Configuration file has been written at: " + path, path}));
    EXPECT_TRUE(filesEndingWith(dir, ".bak").empty());
    Configuration reread(path, ConfigurationKeys{});
    ASSERT_TRUE(reread.load());
    expectFilled(reread);
}

#ifndef _WIN32
// A configuration path that is a link keeps being a link to the rewritten file.
TEST(ConfigurationSave, LinkedFileIsRewrittenThroughTheLink) {
    TempDir dir;
    dir.write("real.xml", kOldFile);
    const std::string link = dir.file("settings.xml");
    fs::create_symlink("real.xml", link);
    Configuration configuration(link);
    fill(configuration);
    ConsoleCapture output;
    ASSERT_TRUE(configuration.save()) << output.err();
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(readBytes(dir.file("real.xml")), kOldFile);
    const auto backups = filesEndingWith(dir, ".bak");
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backups.begin()->rfind("settings.xml.", 0), 0u);
    EXPECT_EQ(readBytes(dir.file(*backups.begin())), kOldFile);
    EXPECT_TRUE(filesEndingWith(dir, ".tmp").empty());
}
#endif  // _WIN32

}  // namespace
