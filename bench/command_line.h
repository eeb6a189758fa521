#pragma once

// The whole-program benchmarks' command line.

#include <boost/program_options.hpp>

#include <exception>
#include <iostream>
#include <optional>

namespace bench {

// Parses the arguments into `values`. The process status when the program ends here
// (--help: the usage and 0; an unusable command line: its reason and 1), nothing
// when it goes on.
inline std::optional<int> parseCommandLine(int argc, char** argv,
                                           const boost::program_options::options_description& options,
                                           const char* program, boost::program_options::variables_map& values) {
    namespace po = boost::program_options;
    try {
        po::store(po::parse_command_line(argc, argv, options), values);
        po::notify(values);
    } catch (const std::exception& e) {
        std::cerr << program << ": " << e.what() << std::endl;
        return 1;
    }
    if (values.count("help")) {
        std::cout << "Usage: " << program << " [options]\n" << options << std::endl;
        return 0;
    }
    return std::nullopt;
}

}  // namespace bench
