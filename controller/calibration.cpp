#include "controller/simulator_sample.h"

// The monitor calibration procedure. Until it is built, the actions the simulator
// sends are remembered in calAction and calArg and nothing else happens; no
// calibration thread is started.
void SimulatorSample::performCalibration(int action, int argument) {
    (void)action;
    (void)argument;
}
