// halvex-relay-v22: the bridge with the v2.2 edition and its UDP unit adaptor.
#include <memory>

#include "adaptor_v22/halvex_adaptor.h"
#include "app/entry.h"
#include "controller/edition_v22.h"

using halvex::v22::HalvexAdaptor;

int main(int argc, char** argv) {
    const Program program{V22Edition::kConfigurationKeys,
                          [](Configuration& configuration) {
                              return std::make_unique<V22Edition>(configuration, std::make_unique<HalvexAdaptor>());
                          },
                          [](const WifiSettings& settings) {
                              HalvexAdaptor unit;
                              return V22Edition::setUpWifi(unit, settings);
                          }};
    return runEntryPoint(argc, argv, program);
}
