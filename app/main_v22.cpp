// halvex-relay-v22: the bridge with the v2.2 edition and its UDP unit adaptor.
#include <memory>

#include "adaptor_v22/halvex_adaptor.h"
#include "app/entry.h"
#include "controller/edition_v22.h"
#include "controller/last_address_store.h"

using halvex::adaptor_v22::HalvexAdaptor;
using halvex::app::Program;
using halvex::configuration::Configuration;
using halvex::controller::V22Edition;
using halvex::controller::WifiSettings;

int main(int argc, char** argv) {
    // One record of the last unit reached for the whole process, in the current folder.
    auto lastAddress = std::make_shared<halvex::controller::LastAddressStore>(".");
    const Program program{
        V22Edition::kConfigurationKeys,
        [lastAddress](Configuration& configuration) {
            return std::make_unique<V22Edition>(configuration, std::make_unique<HalvexAdaptor>(lastAddress));
        },
        [lastAddress](const WifiSettings& settings) {
            HalvexAdaptor unit(lastAddress);
            return V22Edition::setUpWifi(unit, settings);
        }};
    return halvex::app::runEntryPoint(argc, argv, program);
}
