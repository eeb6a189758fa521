#pragma once

#include <exception>
#include <string>

namespace halvex::adaptor_json {

// Raised when the adaptor reaches a state it must never reach. The report is built
// and written to standard error when the exception is constructed.
class AssertionFailureException : public std::exception {
public:
    AssertionFailureException(const std::string& condition, const std::string& file, int line,
                              const std::string& message);
    const char* what() const noexcept override { return report_.c_str(); }

    const std::string& condition() const { return condition_; }
    const std::string& file() const { return file_; }
    int line() const { return line_; }
    const std::string& message() const { return message_; }
    const std::string& report() const { return report_; }

private:
    std::string condition_;
    std::string file_;
    int line_;
    std::string message_;
    std::string report_;
};

// The file name of a source path, without its folders.
std::string sourceFileName(const char* path);

}  // namespace halvex::adaptor_json

#define HALVEX_UNREACHABLE(message)                                                                   \
    throw ::halvex::adaptor_json::AssertionFailureException("false", ::halvex::adaptor_json::sourceFileName(__FILE__), \
                                                    __LINE__, (message))
