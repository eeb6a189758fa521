#include "simlink/log.h"

#include "platform/line_sink.h"

namespace com_krel {

void printLine(bool error, const std::string& line) {
    halvex::platform::printLine(error ? halvex::platform::Channel::Err : halvex::platform::Channel::Out, line);
}

}  // namespace com_krel
