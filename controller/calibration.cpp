// The monitor calibration procedure, driven by the simulator's calibration actions
// while the simulation does not run, and the calibration thread that keeps the
// unit's output alive meanwhile. What the editions do differently (the counters' unit
// commands, the point keys, the save, the thread's rounds) is the Edition's.

#include <exception>

#include "controller/simulator_sample.h"
#include "platform/line_sink.h"

namespace halvex::controller {

using halvex::platform::printOut;

namespace {
const char* const kLine = "HX>CALIBRATION>";
}

// Runs inside a batch, with `lock` held.
void SimulatorSample::performCalibration(int actionValue, int argument) {
    if (edition->rules.announcesCalibrationActions)
        printOut("Calling performCalibration with action: [" + std::to_string(actionValue) + "] and arg: [" +
                 std::to_string(argument) + "]");
    const std::string g = std::to_string(argument);
    if (actionValue <= 0) {
        if (calibrating) {
            printOut(std::string(kLine) + "Stopping calibration");
            calibrating = false;
        }
        return;
    }
    const auto action = static_cast<CalibrationAction>(actionValue);
    if (!calibrating) {
        if (action != CalibrationAction::Start) {
            printOut(std::string(kLine) + "Ignoring calibration until a 'Start' action is received.");
            return;
        }
        printOut(std::string(kLine) + "Starting calibration");
        calibrating = true;
        startCalibrationThread();
    }
    CalibrationState& c = calibration;
    switch (action) {
    case CalibrationAction::Start:
        printOut(std::string(kLine) + "Start/reset calibration");
        c.co2Points.clear();
        c.spo2Points.clear();
        c.co2Counter = 0;
        c.spo2Scale = 4;
        break;
    case CalibrationAction::SetSpO2Scale:
        printOut(std::string(kLine) + "Set SPO2 scale to " + g);
        c.spo2Scale = argument;
        break;
    case CalibrationAction::SetSpO2Counter:
        printOut(std::string(kLine) + "Set SPO2 Counter to " + g);
        c.spo2Counter = argument;
        break;
    case CalibrationAction::SetCo2Counter:
        printOut(std::string(kLine) + "Set CO2 Counter to " + g);
        c.co2Counter = argument;
        break;
    case CalibrationAction::SaveSpO2Point:
        printOut(std::string(kLine) + "Save SPO2 point " + g + " -> " + std::to_string(c.spo2Counter));
        break;
    case CalibrationAction::SkipSpO2:
        printOut(std::string(kLine) + "Skipping SPO2");
        c.spo2Points.clear();
        break;
    case CalibrationAction::SaveCo2Point:
        printOut(std::string(kLine) + "Save CO2 point " + g + " -> " + std::to_string(c.co2Counter));
        break;
    case CalibrationAction::SkipCo2:
        printOut(std::string(kLine) + "Skipping CO2");
        c.co2Points.clear();
        break;
    case CalibrationAction::Save:
        printOut(std::string(kLine) + "Saving calibration file!");
        break;
    default:
        return;
    }
    // An error of the save leaves here with the procedure still on.
    edition->calibrationAction(action, argument, c);
    if (action == CalibrationAction::Save)
        calibrating = false;
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
    const bool drivesRounds = edition->rules.drivesCalibrationRounds;
    try {
        edition->calibrationThread(CalibrationPhase::Started, calibration);
        // Fixed rate on the steady clock: the target advances by exactly one round
        // whatever a round took, so a late round is followed by rounds without a pause.
        auto target = std::chrono::steady_clock::now();
        for (;;) {
            if (drivesRounds) {
                std::lock_guard<std::mutex> guard(lock);
                edition->calibrationThread(CalibrationPhase::Refresh, calibration);
            }
            target += kCalibrationRound;
            std::this_thread::sleep_until(target);
            std::lock_guard<std::mutex> guard(lock);
            if (!calibrating) {
                calibrationRounds = false;
                break;
            }
            if (drivesRounds)
                edition->calibrationThread(CalibrationPhase::Round, calibration);
        }
        edition->calibrationThread(running ? CalibrationPhase::EndedBySimulation : CalibrationPhase::Ended,
                                   calibration);
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

// Teardown: ends the procedure and joins its thread.
void SimulatorSample::stopCalibrationThread() {
    {
        std::lock_guard<std::mutex> guard(lock);
        calibrating = false;
    }
    // The thread sees `calibrating` cleared at its next round and ends.
    if (calibrationThread.joinable())
        calibrationThread.join();
}

}  // namespace halvex::controller
