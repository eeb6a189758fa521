// The monitor calibration procedure, driven by the simulator's calibration actions
// while the simulation does not run, and the calibration thread that keeps the
// unit's output alive meanwhile. What the editions do differently (the point keys,
// the counters' unit commands, the save, the thread's rounds) is the Edition's.

#include <exception>

#include "controller/simulator_sample.h"
#include "platform/line_sink.h"

using halvex::platform::printOut;

namespace {
const char* const kLine = "HX>CALIBRATION>";
}

// Runs inside a batch, with `lock` held.
void SimulatorSample::performCalibration(int action, int argument) {
    edition->calibrationActionReceived(action, argument);
    const std::string g = std::to_string(argument);
    if (action <= 0) {
        if (calibrating) {
            printOut(std::string(kLine) + "Stopping calibration");
            calibrating = false;
        }
        return;
    }
    if (!calibrating) {
        if (action != 1) {
            printOut(std::string(kLine) + "Ignoring calibration until a 'Start' action is received.");
            return;
        }
        printOut(std::string(kLine) + "Starting calibration");
        calibrating = true;
        startCalibrationThread();
    }
    CalibrationState& c = calibration;
    switch (action) {
    case 1:
        printOut(std::string(kLine) + "Start/reset calibration");
        c.co2Points.clear();
        c.spo2Points.clear();
        c.co2Counter = 0;
        c.spo2Scale = 4;
        edition->calibrationReset(c);
        break;
    case 2:
        printOut(std::string(kLine) + "Set SPO2 scale to " + g);
        c.spo2Scale = argument;
        break;
    case 3:
        printOut(std::string(kLine) + "Set SPO2 Counter to " + g);
        c.spo2Counter = argument;
        edition->spo2CounterSet(argument);
        break;
    case 4:
        printOut(std::string(kLine) + "Set CO2 Counter to " + g);
        c.co2Counter = argument;
        edition->co2CounterSet(argument);
        break;
    case 30:
        printOut(std::string(kLine) + "Save SPO2 point " + g + " -> " + std::to_string(c.spo2Counter));
        edition->storePoint(c.spo2Points, c.spo2Counter, argument);
        break;
    case 39:
        printOut(std::string(kLine) + "Skipping SPO2");
        c.spo2Points.clear();
        break;
    case 40:
        printOut(std::string(kLine) + "Save CO2 point " + g + " -> " + std::to_string(c.co2Counter));
        edition->storePoint(c.co2Points, c.co2Counter, argument);
        break;
    case 49:
        printOut(std::string(kLine) + "Skipping CO2");
        c.co2Points.clear();
        break;
    case 100:
        printOut(std::string(kLine) + "Saving calibration file!");
        // An error of the save leaves here with the procedure still on.
        edition->saveCalibration(c);
        calibrating = false;
        break;
    default:
        break;
    }
}

// With `lock` held. A thread that has not yet seen a stop goes on as the procedure's
// thread; one past its rounds is joined first (it no longer takes `lock`), so two
// never run at once.
void SimulatorSample::startCalibrationThread() {
    if (calibrationRounds)
        return;
    if (calibrationThread.joinable())
        calibrationThread.join();
    calibrationRounds = true;
    calibrationThread = std::thread([this] { calibrationThreadMain(); });
}

void SimulatorSample::calibrationThreadMain() {
    try {
        edition->calibrationStarted();
        // Fixed rate on the steady clock: the target advances by exactly one round
        // whatever a round took, so a late round is followed by rounds without a pause.
        auto target = std::chrono::steady_clock::now();
        for (;;) {
            edition->beforeCalibrationRound(lock);
            target += kCalibrationRound;
            std::this_thread::sleep_until(target);
            std::lock_guard<std::mutex> guard(lock);
            if (!calibrating) {
                calibrationRounds = false;
                break;
            }
            edition->calibrationRound(calibration);
        }
        edition->calibrationEnded(running);
        return;
    } catch (const std::exception& error) {
        printOut(error.what());
    } catch (...) {
        printOut("Unknown error in the calibration thread.");
    }
    // Nothing drives the unit any more: the procedure is off, and a new start begins
    // a new thread. The lock is not taken here: a start may be joining this thread.
    calibrating = false;
    calibrationRounds = false;
}
