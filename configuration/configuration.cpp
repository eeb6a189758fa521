#include "configuration/configuration.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/date_time/posix_time/conversion.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "platform/line_sink.h"
#include "platform/safe_file.h"

namespace halvex::configuration {

namespace fs = std::filesystem;
namespace pt = boost::property_tree;
using halvex::platform::printErr;
using halvex::platform::printOut;

namespace {

// Reads every entry of a calibration element into the table. Only child elements
// are entries: the XML reader keeps comments (and could keep other nodes) as
// children named "<xml...>", and reading those as points 0 -> 0 would bend the
// SpO2 and CO2 curves.
void readCalibrationTable(const pt::ptree& tree, const char* path, std::map<float, float>& table) {
    for (const auto& child : tree.get_child(path)) {
        const std::string& name = child.first;
        if (name.empty() || name[0] == '<') {
            continue;
        }
        const float key = child.second.get<float>("<xmlattr>.key", 0.0f);
        const float value = child.second.get<float>("<xmlattr>.value", 0.0f);
        table[key] = value;  // a later entry with an equal key wins
    }
}

// The line (from 1) of the first element nested deeper than `limit`, or 0 when none
// is. Reads the text the way the XML reader finds elements: comments, CDATA,
// declarations and "<!...>" nodes open none, a quoted attribute value may hold '<',
// '>' or "/>", and "/>" closes the element it ends. Where the reader would stop at an
// error this may count deeper than it would go, never less deep.
std::size_t lineOfElementDeeperThan(const std::string& text, std::size_t limit) {
    std::size_t depth = 0, line = 1, at = 0;
    const std::size_t size = text.size();
    // Moves past the next `end`, counting the lines on the way (to the end of the
    // text when there is none).
    const auto skipPast = [&](const char* end) {
        const std::size_t found = text.find(end, at);
        const std::size_t stop = found == std::string::npos ? size : found + std::strlen(end);
        line += static_cast<std::size_t>(std::count(text.begin() + static_cast<std::ptrdiff_t>(at),
                                                    text.begin() + static_cast<std::ptrdiff_t>(stop), '\n'));
        at = stop;
    };
    const auto startsWith = [&](const char* prefix) { return text.compare(at, std::strlen(prefix), prefix) == 0; };
    while (at < size) {
        const char c = text[at];
        if (c != '<') {
            line += c == '\n';
            ++at;
        } else if (startsWith("<!--")) {
            skipPast("-->");
        } else if (startsWith("<![CDATA[")) {
            skipPast("]]>");
        } else if (startsWith("<?")) {
            skipPast("?>");
        } else if (startsWith("<!")) {
            skipPast(">");
        } else if (startsWith("</")) {
            depth -= depth > 0;
            skipPast(">");
        } else {
            if (++depth > limit) return line;
            char quote = 0, last = 0;
            for (++at; at < size; ++at) {
                const char t = text[at];
                line += t == '\n';
                if (quote != 0) {
                    quote = t == quote ? 0 : quote;
                } else if (t == '"' || t == '\'') {
                    quote = t;
                } else if (t == '>') {
                    break;
                }
                last = t;
            }
            ++at;
            depth -= last == '/';
        }
    }
    return 0;
}

// The XML tree of a configuration text. Errors are the XML reader's, naming `path`.
pt::ptree parseXml(const std::string& text, const std::string& path) {
    if (const std::size_t line = lineOfElementDeeperThan(text, Configuration::kMaxXmlDepth))
        throw pt::xml_parser_error("elements nested deeper than " + std::to_string(Configuration::kMaxXmlDepth) +
                                       " levels",
                                   path, static_cast<unsigned long>(line));
    std::istringstream in(text);
    pt::ptree tree;
    try {
        pt::read_xml(in, tree);
    } catch (const pt::xml_parser_error& error) {
        throw pt::xml_parser_error(error.message(), path, error.line());
    }
    return tree;
}

// The whole file as text; an error as the XML reader reports a file it cannot open.
std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in)
        text << in.rdbuf();
    if (!in || in.bad())
        throw pt::xml_parser_error("cannot open file", path, 0);
    return text.str();
}

// The backup's time stamp: local time, "%d-%m-%Y %H-%M-%S".
std::string backupStamp() {
    const std::tm now = boost::posix_time::to_tm(boost::posix_time::second_clock::local_time());
    char text[32];
    if (std::strftime(text, sizeof text, "%d-%m-%Y %H-%M-%S", &now) == 0)
        throw std::runtime_error("The backup time stamp could not be formed");
    return text;
}

// One "Entry" per point, in ascending key order, numbers with 9 significant digits
// (enough to read back every float exactly; 97 is written "97", 0.5 "0.5").
pt::ptree calibrationSection(const std::map<float, float>& table) {
    const auto number = [](float value) {
        std::ostringstream text;
        text.imbue(std::locale::classic());
        text << std::setprecision(9) << value;
        return text.str();
    };
    pt::ptree section;
    for (const auto& [key, value] : table) {
        pt::ptree entry;
        entry.put("<xmlattr>.key", number(key));
        entry.put("<xmlattr>.value", number(value));
        section.push_back({"Entry", entry});
    }
    return section;
}

}  // namespace

Configuration::Configuration(std::string path, ConfigurationKeys keys) : path_(std::move(path)), keys_(keys) {}

Configuration::~Configuration() = default;

namespace {

void reportUnreadable(const std::exception& error) {
    printErr(std::string("HX>ERROR>") + error.what());
    printErr("Unable to read the configuration file");
}

}  // namespace

bool Configuration::load() {
    printOut("HX>Reading configuration file: " + path_);
    std::string text;
    try {
        text = readWholeFile(path_);
    } catch (const std::exception& error) {
        SPO2Calibration.clear();
        CO2Calibration.clear();
        reportUnreadable(error);
        return false;
    }
    return loadText(text);
}

bool Configuration::loadText(const std::string& xml) {
    // Every read starts from empty tables, so an entry deleted from the file is gone
    // after the next read.
    SPO2Calibration.clear();
    CO2Calibration.clear();
    try {
        const pt::ptree tree = parseXml(xml, path_);

        SPO2Scale = tree.get<std::int32_t>("Halvex.SPO2Scale");
        SerialID = tree.get<std::string>("Halvex.SerialID");
        IPAddress = tree.get<std::string>("Halvex.IPAddress");

        readCalibrationTable(tree, "Halvex.SPO2Calibration", SPO2Calibration);
        if (SPO2Calibration.empty()) {
            printErr("HX>ERROR>Missing \"Halvex.SPO2Calibration\" into configuration XML");
            return false;
        }
        readCalibrationTable(tree, "Halvex.CO2Calibration", CO2Calibration);
        if (CO2Calibration.empty()) {
            printErr("HX>ERROR>Missing \"Halvex.CO2Calibration\" into configuration XML");
            return false;
        }

        try {
            IPRangeStart = tree.get<std::string>("Halvex.IPRangeStart");
            IPRangeEnd = tree.get<std::string>("Halvex.IPRangeEnd");
        } catch (const pt::ptree_error& error) {
            printErr(std::string("HX>ERROR>") + error.what());
            printErr("Unable to read \"IPRangeStart or IPRangeEnd\" from the configuration file. Ignoring.");
        }

        if (keys_.simulatorAddresses)
            loadSimulatorAddresses(tree);
    } catch (const std::exception& error) {
        reportUnreadable(error);
        return false;
    }
    printOut("HX>Configuration file read succesfully.");
    return true;
}

void Configuration::loadSimulatorAddresses(const pt::ptree& tree) {
    try {
        SimulatorIP = tree.get<std::string>("Halvex.SimulatorIP");
        RHMIP = tree.get<std::string>("Halvex.RHMIP");
    } catch (const pt::ptree_error& error) {
        printErr(std::string("HX>ERROR>") + error.what());
        printErr("Unable to read \"SimulatorIP or RHMIP\" from the configuration file. Ignoring and using "
                 "default of 127.0.0.1 for both.");
    }
}

// save() never loses data:
//  1. the current file is copied to a new backup beside it, and the copy is checked
//     to the last byte before anything else happens;
//  2. a configuration file the operator made read-only is left alone;
//  3. the new text goes to a temporary file in the same folder, which then replaces
//     the configuration file in one rename, so a crash or a full disk leaves the old
//     file or the new one, never half of one.
// A step that fails stops the save and removes what that step created; the backups
// of earlier steps stay. The fields are only read.
bool Configuration::save() {
    try {
        const fs::path file(path_);
        // A link to the file stays a link: the file it names is the one replaced.
        const fs::path target = fs::is_symlink(file) ? fs::canonical(file) : file;
        if (fs::exists(target)) {
            halvex::platform::copyToNewFile(path_, path_ + "." + backupStamp(), ".bak");
            // By its mode, not by trying: a privileged account could write it anyway.
            if ((fs::status(target).permissions() & fs::perms::owner_write) == fs::perms::none)
                throw std::runtime_error("The configuration file is read-only: " + path_);
        } else {
            // Nothing can be lost when there is no file (it was deleted while the
            // bridge ran): the calibration is written without a backup, not dropped.
            printOut("HX>No configuration file to back up at: " + path_);
        }
        halvex::platform::replaceFile(target.string(), writtenText());
    } catch (const std::exception& error) {
        printErr(std::string("HX>ERROR>") + error.what());
        printErr("Unable to save the configuration file");
        return false;
    }
    printOut("HX>Configuration file has been written at: " + path_);
    printOut(path_);
    return true;
}

std::string Configuration::writtenText() const {
    pt::ptree tree;
    tree.put("Halvex.IPAddress", IPAddress);
    tree.put("Halvex.IPRangeStart", IPRangeStart);
    tree.put("Halvex.IPRangeEnd", IPRangeEnd);
    tree.put("Halvex.SerialID", SerialID);
    tree.put("Halvex.SPO2Scale", SPO2Scale);
    tree.add_child("Halvex.CO2Calibration", calibrationSection(CO2Calibration));
    tree.add_child("Halvex.SPO2Calibration", calibrationSection(SPO2Calibration));

    std::ostringstream text;
    pt::write_xml(text, tree, pt::xml_writer_make_settings<std::string>(' ', 4, "utf-8"));
    if (!text)
        throw std::runtime_error("The configuration text could not be formed");
    return text.str();
}

}  // namespace halvex::configuration
